#pragma once

#include <httplib.h>

#include <QString>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "support/test_certificates.h"
#endif

// A real HTTP server on a free loopback port, run on its own thread for one test.
class TestServer {
  public:
    struct Request {
        std::string method;
        std::string path;
        std::string query;  // raw query text, as sent
        std::string body;
        std::string contentType;
        httplib::Headers headers;
        bool tls = false;  // it came over TLS
    };

    TestServer();
    ~TestServer();

    httplib::Server& http() { return server_; }
    int port() const { return port_; }
    QString host() const;  // "127.0.0.1:port"
    QString url(const QString& path) const;
    QString httpsUrl(const QString& path) const;

#ifndef _WIN32
    // Speaks TLS too, with this certificate, on the same port: a connection that opens with a
    // TLS handshake is decrypted in front of the server. Call before start().
    void serveTls(const test_certificates::Identity& identity);
#endif

    // Answers POST (and GET) to path with the given status and body, and records requests.
    void answer(const std::string& path, const std::string& body, int status = 200,
                const std::string& contentType = "application/json; charset=utf-8");
    void serveFile(const std::string& path, const std::string& bytes);

    std::vector<Request> requests() const;
    Request lastRequest() const;
    void record(const httplib::Request& req);

    void start();

  private:
    class TlsFront;

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::unique_ptr<TlsFront> tlsFront_;
#ifndef _WIN32
    bool tls_ = false;
    test_certificates::Identity tlsIdentity_;
#endif
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    bool started_ = false;
};

// Points the program's built-in addresses at the server while a test runs.
class ConfigOverride {
  public:
    explicit ConfigOverride(const QString& host);
    ~ConfigOverride();

  private:
    struct Saved;
    Saved* saved_;
};
