#include "platform/downloads.h"

#include <QSaveFile>

#include "service/errors.h"

namespace platform {

// Placeholder until the database download lands; written whole on success only.
DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options) {
    QSaveFile file(targetPath);
    if (!file.open(QIODevice::WriteOnly)) {
        return DownloadResult{false, file.errorString()};
    }
    try {
        const BodySink sink = [&file](const char* data, std::size_t size) {
            return file.write(data, static_cast<qint64>(size)) == static_cast<qint64>(size);
        };
        const TransferOutcome outcome =
            httpTransfer(HttpRequest{url, false, {}, {}}, options.limits, sink, options.progress);
        if (!isSuccessStatus(outcome.status)) {
            file.cancelWriting();
            return DownloadResult{false, QStringLiteral("HTTP status %1").arg(outcome.status)};
        }
    } catch (const AppError& e) {
        file.cancelWriting();
        return DownloadResult{false, e.text()};
    }
    if (!file.commit()) {
        return DownloadResult{false, file.errorString()};
    }
    return DownloadResult{true, {}};
}

}  // namespace platform
