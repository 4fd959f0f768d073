#include "base/http_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>

#include "base/errors.h"
#include "base/proxy.h"
#ifndef _WIN32
#include "base/extra_authority.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct State {
    const BodySink* sink = nullptr;
    const HeadCallback* onHead = nullptr;
    ResponseHead head;
    bool headReported = false;
    bool headRefused = false;
    const ProgressCallback* progress = nullptr;
    std::int64_t maxBody = 0;
    std::int64_t received = 0;
    bool connected = false;
    bool tooLarge = false;
    bool sinkRefused = false;
    QString sinkFailure;
    Clock::time_point lastData;
    CURL* easy = nullptr;
};

bool reportHead(State* st) {
    if (st->headReported)
        return true;
    st->headReported = true;
    curl_easy_getinfo(st->easy, CURLINFO_RESPONSE_CODE, &st->head.status);
    if (st->onHead && *st->onHead && !(*st->onHead)(st->head)) {
        st->headRefused = true;
        return false;
    }
    return true;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* st = static_cast<State*>(user);
    const size_t bytes = size * count;
    if (!reportHead(st))
        return 0;
    if (st->maxBody > 0 && st->received + static_cast<std::int64_t>(bytes) > st->maxBody) {
        st->tooLarge = true;
        return 0;
    }
    // An exception must not unwind through libcurl's C frames: keep its text, stop the transfer.
    bool stored = false;
    try {
        stored = (*st->sink)(data, bytes);
    } catch (const AppError& e) {
        st->sinkFailure = e.text();
    } catch (const std::bad_alloc&) {
        st->sinkFailure = QStringLiteral("Out of memory while receiving the answer");
    } catch (const std::exception& e) {
        st->sinkFailure = QString::fromUtf8(e.what());
    }
    if (!stored) {
        st->sinkRefused = true;
        return 0;
    }
    st->received += static_cast<std::int64_t>(bytes);
    // Counted after the sink: time spent writing to a slow card is not the peer's silence.
    st->lastData = Clock::now();
    if (st->progress && *st->progress) {
        curl_off_t total = -1;
        curl_easy_getinfo(st->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
        (*st->progress)(st->received, total);
    }
    return bytes;
}

int onConnected(void* user, char*, char*, int, int) {
    auto* st = static_cast<State*>(user);
    st->connected = true;
    st->lastData = Clock::now();
    return CURL_PREREQFUNC_OK;
}

QByteArray lowerTrimmed(const QByteArray& value) {
    return value.trimmed().toLower();
}

// Any header line also counts as data from the peer. Only the last answer's head counts:
// a status line starts a new one (after a 100 Continue, say).
size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* st = static_cast<State*>(user);
    st->lastData = Clock::now();
    const QByteArray line(data, static_cast<qsizetype>(size * count));
    if (line.startsWith("HTTP/")) {
        st->head = ResponseHead{};
        return size * count;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return size * count;
    const QByteArray name = lowerTrimmed(line.left(colon));
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "content-length") {
        bool ok = false;
        const qint64 length = value.toLongLong(&ok);
        if (ok && length >= 0)
            st->head.contentLength = length;
    } else if (name == "transfer-encoding") {
        st->head.chunked = lowerTrimmed(value).contains("chunked");
    } else if (name == "content-encoding") {
        QByteArray encoding = lowerTrimmed(value);
        encoding.replace(' ', "");
        st->head.contentEncoding = encoding == "identity" ? QByteArray() : encoding;
    } else if (name == "content-type") {
        const qsizetype semicolon = value.indexOf(';');
        st->head.contentType = lowerTrimmed(semicolon < 0 ? value : value.left(semicolon));
    }
    return size * count;
}

QString megabytes(std::int64_t bytes) {
    return QString::number(bytes / (1024 * 1024));
}

}  // namespace

void prepareHttpTransfers() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

TransferOutcome httpTransfer(const HttpRequest& request, const TransferLimits& limits,
                             const BodySink& sink, const ProgressCallback& progress,
                             const QString& sinkErrorText, const HeadCallback& onHead) {
    prepareHttpTransfers();
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        throw TransportError(QStringLiteral("Could not start an HTTP transfer"));
    }
    State st;
    st.sink = &sink;
    st.onHead = &onHead;
    st.progress = &progress;
    st.maxBody = limits.maxBodyBytes;
    st.easy = easy.get();

    char errorText[CURL_ERROR_SIZE] = {0};
    const QByteArray url = request.url.toUtf8();
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.constData());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
    // Larger pieces mean fewer, larger writes when a file streams onto a card.
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 512L * 1024L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &st);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &st);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, onConnected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &st);

    proxy::AppliedOptions applied;
    applied.url = request.url;
    const proxy::Route route = proxy::routeFor(request.url);
    const QByteArray proxyUrl = route.proxy.toUtf8();
    if (route.decided) {
        // "" is a direct connection, whatever the environment says.
        curl_easy_setopt(e, CURLOPT_PROXY, proxyUrl.constData());
        applied.proxySet = true;
        applied.proxy = route.proxy;
        if (!route.proxy.isEmpty() && route.systemLogOn) {
            curl_easy_setopt(e, CURLOPT_PROXYAUTH, CURLAUTH_NEGOTIATE | CURLAUTH_NTLM);
            // No name and password: the Windows log-on's own credentials.
            curl_easy_setopt(e, CURLOPT_PROXYUSERPWD, ":");
            applied.systemLogOn = true;
        }
    }
    std::shared_ptr<const void> extraAuthority;
    if (request.url.startsWith(QLatin1String("https:"), Qt::CaseInsensitive)) {
        // Schannel fails a transfer when no revocation server answers; a revoked certificate
        // still fails.
        applied.sslOptions = CURLSSLOPT_REVOKE_BEST_EFFORT;
        curl_easy_setopt(e, CURLOPT_SSL_OPTIONS, applied.sslOptions);
        // libcurl's defaults, set all the same: no build and no caller turns them off.
        applied.verifyPeer = 1L;
        applied.verifyHost = 2L;
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, applied.verifyPeer);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, applied.verifyHost);
#ifndef _WIN32
        extraAuthority = extra_authority::applyTo(e);
        applied.extraAuthority = extraAuthority != nullptr;
#endif
    }
    proxy::report(applied);

    std::unique_ptr<curl_slist, SlistDeleter> headers;
    if (request.post) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.constData());
        if (!request.contentType.isEmpty()) {
            headers.reset(
                curl_slist_append(nullptr, ("Content-Type: " + request.contentType).constData()));
            curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
        }
    }

    curl_multi_add_handle(multi.get(), e);
    // The multi loop lets the silence between two pieces of data be measured exactly;
    // libcurl's own low-speed check averages and would fail a slow but live trickle.
    bool stalled = false;
    bool cancelled = false;
    for (;;) {
        int running = 0;
        curl_multi_perform(multi.get(), &running);
        if (running == 0) {
            break;
        }
        if (request.cancel && request.cancel->load()) {
            cancelled = true;
            break;
        }
        int waitMs = 200;
        if (st.connected && limits.stallTimeoutMs > 0) {
            const auto silent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - st.lastData)
                    .count();
            if (silent >= limits.stallTimeoutMs) {
                stalled = true;
                break;
            }
            waitMs = static_cast<int>(std::min<long long>(waitMs, limits.stallTimeoutMs - silent));
        }
        curl_multi_poll(multi.get(), nullptr, 0, std::max(waitMs, 1), nullptr);
    }

    CURLcode result = CURLE_OK;
    int pending = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &pending)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) {
            result = msg->data.result;
        }
    }
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi.get(), e);

    if (cancelled) {
        throw TransferCancelled();
    }
    if (stalled) {
        throw TransportError(
            QStringLiteral("Operation timed out: no data received for %1 milliseconds")
                .arg(limits.stallTimeoutMs));
    }
    if (st.tooLarge) {
        throw TransportError(
            QStringLiteral("The answer is larger than %1 MiB; the transfer was stopped")
                .arg(megabytes(limits.maxBodyBytes)));
    }
    if (st.sinkRefused || st.headRefused) {
        if (!st.sinkFailure.isEmpty()) {
            throw TransportError(st.sinkFailure);
        }
        throw TransportError(sinkErrorText.isEmpty()
                                 ? QStringLiteral("The received data could not be stored")
                                 : sinkErrorText);
    }
    if (result != CURLE_OK) {
        throw TransportError(errorText[0] != '\0' ? QString::fromUtf8(errorText)
                                                  : QString::fromUtf8(curl_easy_strerror(result)));
    }
    st.head.status = status;
    return TransferOutcome{status, st.head, st.received};
}

HttpResponse httpExchange(const HttpRequest& request, const TransferLimits& limits) {
    HttpResponse response;
    const BodySink sink = [&response](const char* data, std::size_t size) {
        response.body.append(data, static_cast<qsizetype>(size));
        return true;
    };
    response.status = httpTransfer(request, limits, sink).status;
    return response;
}
