#include "card/card_files.h"

#include "base/errors.h"
#include "card/card_info.h"
#include "card/card_paths.h"
#include "platform/card_calls.h"
#include "platform/folder_handle.h"

namespace card {

using platform::CardCall;
using platform::CardCallScope;
using platform::FolderHandle;

CardInfoRead readCardInfoAt(const QString& root, const QString& folder) {
    CardInfoRead read;
    FolderHandle card;
    {
        const CardCallScope call(nullptr, CardCall::Look, root);
        try {
            card = FolderHandle::openBeneath(root, folder);
        } catch (const FileError&) {
            return read;
        }
        if (!card.contains(kCardInfoName))
            return read;
        if (!card.holdsRegularFile(kCardInfoName)) {
            read.found = CardInfoRead::Found::NotAFile;
            return read;
        }
    }
    read.found = CardInfoRead::Found::File;
    const CardCallScope call(nullptr, CardCall::Read, card.filePath(kCardInfoName));
    try {
        read.bytes = loadCardInfoFile(card);
    } catch (const FileError& e) {
        read.error = e.text();
    }
    return read;
}

CardInfoRewrite rewriteCardInfoAt(const QString& root, const QString& folder,
                                  const QByteArray& lastRead, TcfgData cfg, const QDate& date,
                                  const QString& version) {
    CardInfoRewrite rewrite;
    try {
        FolderHandle card;
        bool present = false;
        {
            const CardCallScope call(nullptr, CardCall::Look, root);
            card = FolderHandle::openBeneath(root, folder);
            present = card.contains(kCardInfoName);
            rewrite.notAFile = present && !card.holdsRegularFile(kCardInfoName);
        }
        if (!rewrite.notAFile) {
            if (present) {
                const CardCallScope call(nullptr, CardCall::Read, card.filePath(kCardInfoName));
                const QByteArray bytes = loadCardInfoFile(card);
                if (bytes != lastRead) {
                    TbbData bb;
                    readCardInfo(bytes, cfg, bb);
                    rewrite.reread = bytes;
                }
            }
            const QByteArray bytes = encodeCardInfo(cfg, date, version);
            const CardCallScope call(nullptr, CardCall::Write, card.filePath(kCardInfoName));
            saveCardInfoFile(card, bytes);
            rewrite.written = bytes;
        }
    } catch (const FileError& e) {
        rewrite.error = e.text();
        return rewrite;
    }
    const CardCallScope call(nullptr, CardCall::Flush, root);
    if (platform::Platform* system = platform::installed())
        rewrite.flush = system->flushVolume(root);
    return rewrite;
}

}  // namespace card
