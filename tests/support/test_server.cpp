#include "support/test_server.h"

#include "service/config.h"

TestServer::TestServer() = default;

TestServer::~TestServer() {
    server_.stop();
    if (thread_.joinable())
        thread_.join();
}

void TestServer::start() {
    if (started_)
        return;
    started_ = true;
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
}

QString TestServer::host() const {
    return QStringLiteral("127.0.0.1:%1").arg(port_);
}

QString TestServer::url(const QString& path) const {
    return QStringLiteral("http://") + host() + path;
}

void TestServer::record(const httplib::Request& req) {
    Request r;
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
