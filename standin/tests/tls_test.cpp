// HTTPS and plain HTTP on the one port: the first byte of a connection tells them apart, and a
// TLS client meets the same limits as any other.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "seed.hpp"
#include "support/test_certificates.h"
#include "test_support.hpp"

namespace {

using namespace std::chrono_literals;
using standin_test::body_of;
using standin_test::RawClient;
using standin_test::RunningService;
using standin_test::status_of;
using standin_test::TempDir;

const test_certificates::Authority& authority() {
    static const test_certificates::Authority a("Stand-in test authority");
    return a;
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Certificate and key files for 127.0.0.1, issued by the test authority.
struct TlsFiles {
    TempDir dir;
    std::string certificate = (dir.path() / "server.pem").string();
    std::string key = (dir.path() / "server.key").string();
    TlsFiles() {
        const test_certificates::Identity identity = authority().issue({"127.0.0.1"});
        write_file(certificate, identity.certificatePem);
        write_file(key, identity.keyPem);
    }
};

X509_STORE* trusting_the_authority() {
    X509_STORE* store = X509_STORE_new();
    const std::string& pem = authority().certificatePem();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    X509_STORE_add_cert(store, cert);
    X509_free(cert);
    return store;
}

std::unique_ptr<httplib::SSLClient> https_client(int port) {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    client->set_ca_cert_store(trusting_the_authority());
    client->enable_server_certificate_verification(true);
    client->set_read_timeout(5, 0);
    return client;
}

// A TLS connection whose bytes the test writes itself, the certificate checked as a browser
// checks it.
class RawTlsClient {
  public:
    explicit RawTlsClient(int port) : ctx_(SSL_CTX_new(TLS_client_method())) {
        SSL_CTX_set_cert_store(ctx_, trusting_the_authority());
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval wait{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        SSL_set1_host(ssl_, "127.0.0.1");
        connected_ = SSL_connect(ssl_) == 1;
    }
    ~RawTlsClient() {
        if (ssl_)
            SSL_free(ssl_);
        ::close(fd_);
        SSL_CTX_free(ctx_);
        ERR_clear_error();
    }
    bool connected() const { return connected_; }
    bool send(const std::string& bytes) {
        return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) ==
               static_cast<int>(bytes.size());
    }
    // Until the service closes the connection (or five seconds pass without a byte).
    std::string read_to_end() {
        std::string out;
        char piece[4096];
        for (int n; (n = SSL_read(ssl_, piece, sizeof piece)) > 0;)
            out.append(piece, static_cast<std::size_t>(n));
        return out;
    }

  private:
    SSL_CTX* ctx_;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    bool connected_ = false;
};

TEST(Tls, OnePortAnswersHttpsAndPlainHttp) {
    TlsFiles files;
    RunningService service([&](drivoro::standin::Service::Options& o) {
        o.tls_certificate_file = files.certificate;
        o.tls_key_file = files.key;
    });
    httplib::Client plain("127.0.0.1", service.port());
    const auto https = https_client(service.port());
    for (int round = 0; round < 2; ++round) {
        const auto over_http =
            plain.Post("/mgr/api/call_banner.api", "bidx=4", "application/x-www-form-urlencoded");
        const auto over_https =
            https->Post("/mgr/api/call_banner.api", "bidx=4", "application/x-www-form-urlencoded");
        ASSERT_TRUE(over_http && over_https) << round;
        EXPECT_EQ(over_http->status, 200);
        EXPECT_EQ(over_https->status, 200);
        EXPECT_EQ(over_https->body, over_http->body);
    }
    // The banner picture, as the program fetches it: "https://" + host + img_path.
    const auto picture = https->Get(std::string(drivoro::standin::seed::kBannerPath));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->status, 200);
    EXPECT_EQ(picture->body.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_GT(picture->body.size(), 1000u);
}

TEST(Tls, WithoutCertificateATlsClientIsClosedAndPlainHttpServed) {
    RunningService service;
    const auto https = https_client(service.port());
    EXPECT_FALSE(https->Get("/json"));
    httplib::Client plain("127.0.0.1", service.port());
    const auto res = plain.Get("/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST(Tls, LimitsHoldOverTls) {
    TlsFiles files;
    RunningService service([&](drivoro::standin::Service::Options& o) {
        o.tls_certificate_file = files.certificate;
        o.tls_key_file = files.key;
        o.limits.idle_time = 500ms;
    });
    // Refused after the head, before any body, as over plain HTTP.
    RawTlsClient chunked(service.port());
    ASSERT_TRUE(chunked.connected());
    ASSERT_TRUE(chunked.send(
        "POST /mobile/back_c/getLogin.json HTTP/1.1\r\nHost: x\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string answer = chunked.read_to_end();
    EXPECT_EQ(status_of(answer), 411) << answer;
    EXPECT_FALSE(body_of(answer).empty());

    // A handshake begun and never finished holds no worker and ends with the idle time, while
    // others are served.
    RawClient stalled(service.port());
    ASSERT_TRUE(stalled.send(std::string("\x16\x03\x01\x00\x05", 5)));
    const auto https = https_client(service.port());
    const auto res = https->Get("/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    stalled.read_to_end(5s);
    EXPECT_TRUE(stalled.closed());
}

}  // namespace
