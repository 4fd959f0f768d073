#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

// One HTTP exchange on its own libcurl handle: no redirections followed, no state kept
// between calls. Transport failures throw TransportError with libcurl's text.
struct TransferLimits {
    long connectTimeoutMs = 5000;
    // Longest silence between two pieces of data once connected; 0 waits for ever.
    long stallTimeoutMs = 3000;
    // Largest body accepted before the transfer fails; 0 means no bound.
    std::int64_t maxBodyBytes = std::int64_t{32} * 1024 * 1024;
};

struct HttpRequest {
    QString url;
    bool post = false;
    QByteArray body;         // sent when post is true
    QByteArray contentType;  // header sent with a POST body
    // Set from another thread to stop the transfer; it then throws TransferCancelled.
    const std::atomic<bool>* cancel = nullptr;
};

// What the final answer's head said about its body.
struct ResponseHead {
    long status = 0;
    std::optional<std::int64_t> contentLength;
    bool chunked = false;        // Transfer-Encoding: chunked
    QByteArray contentEncoding;  // lower case, blanks removed; empty when none
    QByteArray contentType;      // lower case media type without parameters
};

// Called once the head of the final answer is in, before any of its body; returning false
// aborts the transfer with a TransportError carrying sinkErrorText.
using HeadCallback = std::function<bool(const ResponseHead& head)>;

// Receives the body piece by piece; returning false aborts the transfer with a TransportError
// carrying sinkErrorText.
using BodySink = std::function<bool(const char* data, std::size_t size)>;
// Bytes of the body received so far and the announced total (-1 when unknown).
using ProgressCallback = std::function<void(std::int64_t received, std::int64_t total)>;

struct TransferOutcome {
    long status = 0;
    ResponseHead head;
    std::int64_t received = 0;  // body bytes handed to the sink
};

// Sets up the transfer library once (its TLS library among it), as the first transfer would;
// run on a thread of its own at start-up, it keeps that work off the window's way. Safe to call
// from several threads: the others wait until it is done.
void prepareHttpTransfers();

TransferOutcome httpTransfer(const HttpRequest& request, const TransferLimits& limits,
                             const BodySink& sink, const ProgressCallback& progress = {},
                             const QString& sinkErrorText = {}, const HeadCallback& onHead = {});

// The transfer was stopped through HttpRequest::cancel.
class TransferCancelled : public std::exception {
  public:
    const char* what() const noexcept override { return "The transfer was cancelled"; }
};

struct HttpResponse {
    long status = 0;
    QByteArray body;
};

// Collects the whole body in memory, bounded by limits.maxBodyBytes.
HttpResponse httpExchange(const HttpRequest& request, const TransferLimits& limits = {});

inline bool isSuccessStatus(long status) {
    return status >= 200 && status <= 299;
}
