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

namespace {

const QString kLeftoverName = kDatabaseName + QStringLiteral(".part");

}  // namespace

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
        read.databaseMissing = !card.holdsRegularFile(kDatabaseName);
        read.leftoverPart = card.contains(kLeftoverName);
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

CardInfoRewrite rewriteCardInfo(const FolderHandle& card, const QString& root,
                                const CardInfoUpdate& update, platform::CardCallClock* clock) {
    CardInfoRewrite rewrite;
    try {
        bool present = false;
        {
            const CardCallScope call(clock, CardCall::Look, card.path());
            if (!card.stillAtItsPath()) {
                rewrite.otherCard = true;
                return rewrite;
            }
            present = card.contains(kCardInfoName);
            rewrite.notAFile = present && !card.holdsRegularFile(kCardInfoName);
        }
        if (!rewrite.notAFile) {
            TcfgData cfg = update.cfg;
            if (present) {
                const CardCallScope call(clock, CardCall::Read, card.filePath(kCardInfoName));
                const QByteArray bytes = loadCardInfoFile(card);
                if (bytes != update.lastRead) {
                    TbbData bb;
                    readCardInfo(bytes, cfg, bb);
                    rewrite.reread = bytes;
                }
            }
            const QByteArray bytes = encodeCardInfo(cfg, update.date, update.version);
            const CardCallScope call(clock, CardCall::Write, card.filePath(kCardInfoName));
            saveCardInfoFile(card, bytes);
            rewrite.written = bytes;
        }
    } catch (const FileError& e) {
        rewrite.error = e.text();
        return rewrite;
    }
    // What the system still holds for the volume: a few small files, after our own flushes.
    const CardCallScope call(clock, CardCall::Flush, root);
    if (platform::Platform* system = platform::installed())
        rewrite.flush = system->flushVolume(root);
    return rewrite;
}

}  // namespace card
