// backbbinfo.cfg read then written: lines 2 to 5 come back byte for byte, and a card folder
// taken from the file that the folder rule accepts stays under the card.
#include <QDate>
#include <QDir>

#include "base/text.h"
#include "card/card_info.h"
#include "card/card_paths.h"
#include "fuzz.h"
#include "platform/codepage.h"

namespace {

void folderStaysOnTheCard(const QString& folder) {
    if (!card::isSafeCardFolder(folder))
        return;
    const QString root = QStringLiteral("/media/user/CARD/");
    const QString path = card::cardFilePath(root, card::cardFolder(folder), "rp_cam.idb");
    const QString clean = QDir::cleanPath(path);
    if (!clean.startsWith(root) || !clean.endsWith(QStringLiteral("/rp_cam.idb")))
        fuzz::broken("an accepted card folder leads outside the card");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);
    TcfgData cfg;
    TbbData bb;
    card::readCardInfo(bytes, cfg, bb);
    const QByteArray saved = card::encodeCardInfo(cfg, QDate(2025, 3, 14), QStringLiteral("2.5"));

    if (byteOrderMarkOf(bytes) == ByteOrderMark::None) {
        const QList<QByteArray> before = splitLines(bytes);
        const QList<QByteArray> after = splitLines(saved);
        for (qsizetype i = 1; i < 5 && i < before.size(); ++i) {
            if (after.value(i) != before.at(i))
                fuzz::broken("a carried line changed");
        }
    }
    // What was written reads back as the lines held (their own bytes, or their text with
    // characters outside the code page turned into "?"): no line is split, joined or lost.
    TcfgData again;
    TbbData bbAgain;
    card::readCardInfo(saved, again, bbAgain);
    const auto same = [](const QString& back, const QString& held) {
        return back == held || back == platform::fromAnsi(platform::toAnsi(held));
    };
    if (!same(again.space, cfg.space) || !same(again.model, cfg.model) ||
        !same(again.swVer, cfg.swVer) || !same(again.fwVer, cfg.fwVer))
        fuzz::broken("the written file reads back differently");

    for (const QString& folder : {cfg.space, cfg.model, cfg.swVer, cfg.bbinfo})
        folderStaysOnTheCard(folder);
    return 0;
}
