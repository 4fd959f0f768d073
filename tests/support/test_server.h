#pragma once

#include <httplib.h>

#include <QString>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    };

    TestServer();
    ~TestServer();

    httplib::Server& http() { return server_; }
    int port() const { return port_; }
    QString host() const;  // "127.0.0.1:port"
    QString url(const QString& path) const;

    // Answers POST (and GET) to path with the given status and body, and records requests.
    void answer(const std::string& path, const std::string& body, int status = 200,
                const std::string& contentType = "application/json; charset=utf-8");
    void serveFile(const std::string& path, const std::string& bytes);

    std::vector<Request> requests() const;
    Request lastRequest() const;
    void record(const httplib::Request& req);

    void start();

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
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
