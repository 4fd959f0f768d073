#include "support/test_server.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <map>
#include <stdexcept>
#endif

#include "service/config.h"

#ifdef _WIN32
class TestServer::TlsFront {};
#else
// The server's public port: a connection whose first byte opens a TLS handshake (0x16) is
// decrypted here and passed on to the HTTP server, any other one passed on as it is. One
// thread per connection; the HTTP server tells the two apart by the port it is reached from.
class TestServer::TlsFront {
  public:
    TlsFront(const test_certificates::Identity& identity, int backendPort)
        : ctx_(SSL_CTX_new(TLS_server_method())), backendPort_(backendPort) {
        if (!ctx_)
            throw std::runtime_error("no TLS context");
        SSL_CTX_set_mode(ctx_, SSL_MODE_AUTO_RETRY);
        std::unique_ptr<BIO, decltype(&BIO_free)> certBio(
            BIO_new_mem_buf(identity.certificatePem.data(),
                            static_cast<int>(identity.certificatePem.size())),
            BIO_free);
        std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(
            BIO_new_mem_buf(identity.keyPem.data(), static_cast<int>(identity.keyPem.size())),
            BIO_free);
        X509* cert = PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr);
        EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr);
        const bool ok = cert && key && SSL_CTX_use_certificate(ctx_, cert) == 1 &&
                        SSL_CTX_use_PrivateKey(ctx_, key) == 1;
        X509_free(cert);
        EVP_PKEY_free(key);
        if (!ok)
            throw std::runtime_error("the test certificate cannot be used");

        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("the TLS front cannot listen");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptAll(); });
    }

    ~TlsFront() {
        stopping_ = true;
        acceptor_.join();
        for (std::thread& t : connections_)
            t.join();
        ::close(listener_);
        SSL_CTX_free(ctx_);
    }

    int port() const { return port_; }

    bool cameOverTls(int backendSidePort) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = overTls_.find(backendSidePort);
        return found != overTls_.end() && found->second;
    }

  private:
    static bool waitReadable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    static bool sendAll(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    void acceptAll() {
        while (!stopping_) {
            if (!waitReadable(listener_, 50))
                continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                connections_.emplace_back([this, client] { relay(client); });
        }
    }

    int connectBackend(bool tls) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(backendPort_));
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (fd >= 0)
                ::close(fd);
            return -1;
        }
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        // A port used again later by the other kind of connection is told anew.
        const std::lock_guard<std::mutex> lock(mutex_);
        overTls_[ntohs(address.sin_port)] = tls;
        return fd;
    }

    void relay(int client) {
        unsigned char first = 0;
        SSL* ssl = nullptr;
        int backend = -1;
        const auto end = [&] {
            if (ssl) {
                SSL_shutdown(ssl);
                SSL_free(ssl);
            }
            ::close(client);
            if (backend >= 0)
                ::close(backend);
        };
        if (!waitReadable(client, 5000) || ::recv(client, &first, 1, MSG_PEEK) != 1)
            return end();
        const bool tls = first == 0x16;
        if (tls) {
            ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, client);
            // A client that refuses the certificate ends here.
            if (SSL_accept(ssl) != 1) {
                ERR_clear_error();
                return end();
            }
        }
        backend = connectBackend(tls);
        if (backend < 0)
            return end();
        char buffer[16 * 1024];
        while (!stopping_) {
            pollfd p[2] = {{client, POLLIN, 0}, {backend, POLLIN, 0}};
            const bool pending = ssl && SSL_pending(ssl) > 0;
            if (!pending && ::poll(p, 2, 50) <= 0)
                continue;
            if (pending || (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                const int n = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                                  : static_cast<int>(::recv(client, buffer, sizeof buffer, 0));
                if (n <= 0 || !sendAll(backend, buffer, static_cast<std::size_t>(n)))
                    break;
            }
            if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(backend, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                const bool sent = ssl ? SSL_write(ssl, buffer, static_cast<int>(n)) == n
                                      : sendAll(client, buffer, static_cast<std::size_t>(n));
                if (!sent)
                    break;
            }
        }
        ERR_clear_error();
        end();
    }

    SSL_CTX* ctx_ = nullptr;
    int backendPort_ = 0;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::list<std::thread> connections_;  // touched by the acceptor alone until it has ended
    std::mutex mutex_;
    std::map<int, bool> overTls_;  // by the port the HTTP server is reached from
};

void TestServer::serveTls(const test_certificates::Identity& identity) {
    tlsIdentity_ = identity;
    tls_ = true;
}
#endif

TestServer::TestServer() = default;

TestServer::~TestServer() {
    tlsFront_.reset();
    server_.stop();
    if (thread_.joinable())
        thread_.join();
}

void TestServer::start() {
    if (started_)
        return;
    started_ = true;
    port_ = server_.bind_to_any_port("127.0.0.1");
#ifndef _WIN32
    if (tls_) {
        tlsFront_ = std::make_unique<TlsFront>(tlsIdentity_, port_);
        port_ = tlsFront_->port();
    }
#endif
    thread_ = std::thread([this] { server_.listen_after_bind(); });
}

QString TestServer::host() const {
    return QStringLiteral("127.0.0.1:%1").arg(port_);
}

QString TestServer::url(const QString& path) const {
    return QStringLiteral("http://") + host() + path;
}

QString TestServer::httpsUrl(const QString& path) const {
    return QStringLiteral("https://") + host() + path;
}

void TestServer::record(const httplib::Request& req) {
    Request r;
#ifndef _WIN32
    r.tls = tlsFront_ && tlsFront_->cameOverTls(req.remote_port);
#endif
    r.method = req.method;
    r.path = req.path;
    const auto q = req.target.find('?');
    r.query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
    r.body = req.body;
    r.contentType = req.get_header_value("Content-Type");
    r.headers = req.headers;
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(r));
}

void TestServer::answer(const std::string& path, const std::string& body, int status,
                        const std::string& contentType) {
    auto handler = [this, body, status, contentType](const httplib::Request& req,
                                                     httplib::Response& res) {
        record(req);
        res.status = status;
        res.set_content(body, contentType.c_str());
    };
    server_.Post(path, handler);
    server_.Get(path, handler);
}

void TestServer::serveFile(const std::string& path, const std::string& bytes) {
    server_.Get(path, [this, bytes](const httplib::Request& req, httplib::Response& res) {
        record(req);
        res.set_content(bytes, "application/octet-stream");
    });
}

std::vector<TestServer::Request> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

TestServer::Request TestServer::lastRequest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.empty() ? Request{} : requests_.back();
}

struct ConfigOverride::Saved {
    Config config;
};

ConfigOverride::ConfigOverride(const QString& host) : saved_(new Saved{Config::instance()}) {
    Config& c = Config::instance();
    c.serviceHost = host;
    c.ipEchoHost = host;
    c.makerDownloadHost = host;
    c.makerSupportHost = host;
}

ConfigOverride::~ConfigOverride() {
    Config::instance() = saved_->config;
    delete saved_;
}
