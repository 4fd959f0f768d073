#include "platform/downloads.h"

#include "base/errors.h"
#include "platform/replacing_file.h"

namespace platform {

DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options) {
    ReplacingFile file;
    if (!file.open(targetPath)) {
        return DownloadResult{false, file.errorText()};
    }
    try {
        const BodySink sink = [&file](const char* data, std::size_t size) {
            return file.write(data, size);
        };
        const TransferOutcome outcome =
            httpTransfer(HttpRequest{url, false, {}, {}}, options.limits, sink, options.progress);
        if (!isSuccessStatus(outcome.status)) {
            file.discard();
            return DownloadResult{false, QStringLiteral("HTTP status %1").arg(outcome.status)};
        }
    } catch (const AppError& e) {
        // A refused write aborts the transfer; the file's own reason says more than curl's.
        const QString reason = file.errorText().isEmpty() ? e.text() : file.errorText();
        file.discard();
        return DownloadResult{false, reason};
    }
    if (!file.commit()) {
        return DownloadResult{false, file.errorText()};
    }
    return DownloadResult{true, {}};
}

}  // namespace platform
