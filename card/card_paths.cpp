#include "card/card_paths.h"

#include <QDir>
#include <QStringList>
#include <algorithm>

#include "base/errors.h"

namespace card {

QString cardFolder(const QString& downDir) {
    if (downDir == QStringLiteral("root"))
        return QString();
    const auto separator = [](QChar c) { return c == QLatin1Char('/') || c == QLatin1Char('\\'); };
    qsizetype begin = 0;
    qsizetype end = downDir.size();
    while (begin < end && separator(downDir.at(begin)))
        ++begin;
    while (end > begin && separator(downDir.at(end - 1)))
        --end;
    return downDir.mid(begin, end - begin);
}

bool isSafeCardFolder(const QString& folder) {
    if (folder.size() > kMaxCardFolderLength)
        return false;
    // "c:", "c:\x" and the like; a colon has no place in a FAT name anyway.
    if (folder.contains(QLatin1Char(':')))
        return false;
    if (std::any_of(folder.begin(), folder.end(), [](QChar c) { return c.unicode() < 0x20; }))
        return false;
    QString unified = folder;
    unified.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (unified.startsWith(QLatin1Char('/')))
        return false;
    const QStringList segments = unified.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return segments.size() <= kMaxCardFolderLevels && !segments.contains(QStringLiteral(".."));
}

void requireSafeCardFolder(const QString& folder) {
    if (!isSafeCardFolder(folder)) {
        throw AppError(
            QStringLiteral("서비스가 알려 준 카드 폴더 \"%1\"는 SD카드 안의 폴더가 아니므로 "
                           "사용할 수 없습니다")
                .arg(folder));
    }
}

QString cardFilePath(const QString& driveRoot, const QString& folder, const QString& fileName) {
    QString inner = folder;
    inner.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::toNativeSeparators(driveRoot + inner + QLatin1Char('/') + fileName);
}

}  // namespace card
