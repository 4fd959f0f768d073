#include "platform/downloads.h"

#include "base/errors.h"
#include "platform/replacing_file.h"

namespace platform {

BodyFault judgeHead(const ResponseHead& head) {
    if (head.status != 200)
        return BodyFault::Status;
    if (!head.contentEncoding.isEmpty())
        return BodyFault::Encoded;
    if (head.contentType == "text/html" || head.contentType == "application/xhtml+xml")
        return BodyFault::WebPage;
    return BodyFault::None;
}

BodyFault judgeBody(const TransferOutcome& outcome, bool declaredSizeAndHash) {
    if (const BodyFault fault = judgeHead(outcome.head); fault != BodyFault::None)
        return fault;
    if (outcome.received == 0)
        return BodyFault::Empty;
    if (outcome.head.contentLength) {
        if (outcome.received < *outcome.head.contentLength)
            return BodyFault::Partial;
        if (outcome.received > *outcome.head.contentLength)
            return BodyFault::TooLong;
        return BodyFault::None;
    }
    if (outcome.head.chunked || declaredSizeAndHash)
        return BodyFault::None;
    return BodyFault::EndedByClose;
}

DownloadResult downloadUrlToFile(const QString& url, const QString& targetPath,
                                 const DownloadOptions& options) {
    ReplacingFile file;
    if (!file.open(targetPath)) {
        return DownloadResult{false, file.errorText()};
    }
    const HeadCallback onHead = [](const ResponseHead& head) {
        return judgeHead(head) == BodyFault::None;
    };
    try {
        const BodySink sink = [&file](const char* data, std::size_t size) {
            return file.write(data, size);
        };
        const TransferOutcome outcome =
            httpTransfer(HttpRequest{url, false, {}, {}, nullptr}, options.limits, sink,
                         options.progress, {}, onHead);
        if (judgeBody(outcome, false) != BodyFault::None) {
            file.discard();
            return DownloadResult{false,
                                  QStringLiteral("Not a whole file (HTTP status %1, %2 bytes)")
                                      .arg(outcome.status)
                                      .arg(outcome.received)};
        }
    } catch (const AppError& e) {
        // A refused write aborts the transfer; the file's own reason says more than curl's.
        const QString reason = file.errorText().isEmpty() ? e.text() : file.errorText();
        file.discard();
        return DownloadResult{false, reason};
    } catch (const TransferCancelled&) {
        file.discard();
        return DownloadResult{false, QStringLiteral("Cancelled")};
    }
    if (!file.commit()) {
        return DownloadResult{false, file.errorText()};
    }
    return DownloadResult{true, {}};
}

}  // namespace platform
