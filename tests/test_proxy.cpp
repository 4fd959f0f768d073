// Requests through the user's proxy: the Windows lists and bypass rules, the route each
// transfer takes, and the options every https transfer sets.
#include <curl/curl.h>

#include <QTemporaryDir>
#include <mutex>

#include "base/errors.h"
#include "base/http_transfer.h"
#include "base/proxy.h"
#include "platform/downloads.h"
#include "support/files.h"
#include "support/test_server.h"

namespace {

TEST(Proxy, WindowsListGivesTheProxyOfTheScheme) {
    struct Case {
        const char* list;
        const char* scheme;
        const char* proxy;
    };
    for (const Case& c : {
             Case{"proxy.corp:8080", "http", "http://proxy.corp:8080"},
             Case{"proxy.corp:8080", "https", "http://proxy.corp:8080"},
             Case{"http=web:80;https=secure:3128", "http", "http://web:80"},
             Case{"http=web:80;https=secure:3128", "https", "http://secure:3128"},
             Case{"HTTPS=secure:3128", "https", "http://secure:3128"},
             Case{"http=web:80", "https", ""},
             Case{"ftp=f:21;socks=s:1080", "http", ""},
             Case{"http=http://web:80 ; https=https://secure:443", "https", "https://secure:443"},
             Case{"", "http", ""},
         }) {
        EXPECT_EQ(proxy::proxyForScheme(c.list, c.scheme), QString::fromUtf8(c.proxy))
            << c.list << " " << c.scheme;
    }
}

TEST(Proxy, BypassRulesAsWindowsReadsThem) {
    struct Case {
        const char* list;
        const char* host;
        int port;
        bool bypassed;
    };
    for (const Case& c : {
             Case{"", "service.example", 80, false},
             Case{"service.example", "service.example", 80, true},
             Case{"SERVICE.example", "service.EXAMPLE", 80, true},
             Case{"*.example", "img.service.example", 443, true},
             Case{"*.example", "example", 80, false},
             Case{"other.example;*.corp", "a.corp", 80, true},
             Case{"other.example, *.corp  b.net", "b.net", 80, true},
             Case{"192.168.*", "192.168.0.7", 80, true},
             Case{"192.168.*", "10.0.0.1", 80, false},
             Case{"service.example:8080", "service.example", 80, false},
             Case{"service.example:8080", "service.example", 8080, true},
             Case{"https://service.example", "service.example", 443, false},  // http here
             Case{"<local>", "intranet", 80, true},
             Case{"<local>", "intranet.corp", 80, false},
             Case{"", "127.0.0.1", 18480, true},
             Case{"", "localhost", 80, true},
             Case{"<-loopback>", "127.0.0.1", 18480, false},
             Case{"<-loopback>;<local>", "localhost", 80, true},
             Case{"<-loopback>", "[::1]", 80, false},
         }) {
        EXPECT_EQ(proxy::bypasses(c.list, "http", c.host, c.port), c.bypassed)
            << c.list << " / " << c.host << ":" << c.port;
    }
    EXPECT_TRUE(proxy::bypasses("https://service.example", "https", "service.example", 443));
}

// A proxy on loopback: it answers every request itself and records the absolute address the
// client asked it for.
class LoopbackProxy {
  public:
    LoopbackProxy() {
        server.http().Get(R"(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            const std::lock_guard<std::mutex> guard(m);
            targets.push_back(req.target);
            res.set_content("through the proxy", "application/octet-stream");
        });
        server.http().Post(R"(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            const std::lock_guard<std::mutex> guard(m);
            targets.push_back(req.target);
            res.set_content(R"({"flag":"true"})", "application/json");
        });
        server.start();
    }
    std::vector<std::string> asked() {
        const std::lock_guard<std::mutex> guard(m);
        return targets;
    }
    QString address() const { return QStringLiteral("http://") + server.host(); }

    TestServer server;
    std::mutex m;
    std::vector<std::string> targets;
};

class ProxyRoute : public ::testing::Test {
  protected:
    void SetUp() override {
        origin.http().Get(R"(.*)", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("straight from the host", "application/octet-stream");
        });
        origin.start();
    }
    void TearDown() override {
        proxy::setRouter({});
        proxy::setObserver({});
    }
    QByteArray fetch(const QString& url) {
        return httpExchange(HttpRequest{url, false, {}, {}}).body;
    }
    LoopbackProxy proxyServer;
    TestServer origin;
};

TEST_F(ProxyRoute, DecidedRouteIsTakenAndDirectMeansDirect) {
    const QString url = origin.url("/mobile/x.json");
    bool viaProxy = true;
    proxy::setRouter([&](const QString&) {
        return proxy::Route{true, viaProxy ? proxyServer.address() : QString(), true};
    });
    EXPECT_EQ(fetch(url), "through the proxy");
    ASSERT_EQ(proxyServer.asked().size(), 1u);
    EXPECT_EQ(proxyServer.asked().front(), url.toStdString());

    // The database download takes the same road.
    QTemporaryDir dir;
    ASSERT_TRUE(
        platform::downloadUrlToFile(origin.url("/files/rp.idb"), dir.filePath("db"), {}).ok);
    EXPECT_EQ(readAll(dir.filePath("db")), "through the proxy");
    EXPECT_EQ(proxyServer.asked().size(), 2u);

    // A direct route ignores the environment's proxy too.
    viaProxy = false;
    qputenv("http_proxy", proxyServer.address().toUtf8());
    EXPECT_EQ(fetch(url), "straight from the host");
    qunsetenv("http_proxy");
    EXPECT_EQ(proxyServer.asked().size(), 2u);
}

TEST_F(ProxyRoute, EveryHttpsTransferAcceptsAnUnreachableRevocationServer) {
    std::vector<proxy::AppliedOptions> seen;
    proxy::setObserver([&seen](const proxy::AppliedOptions& o) { seen.push_back(o); });
    proxy::setRouter([&](const QString&) {
        return proxy::Route{true, proxyServer.address(), true};
    });
    fetch(origin.url("/a"));
    // Nothing listens on port 1: the transfer fails, but only after its options were set.
    EXPECT_THROW(fetch(QStringLiteral("https://127.0.0.1:1/banner.jpg")), TransportError);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].sslOptions, 0);
    EXPECT_EQ(seen[1].sslOptions & CURLSSLOPT_REVOKE_BEST_EFFORT, CURLSSLOPT_REVOKE_BEST_EFFORT);
    EXPECT_EQ(seen[1].sslOptions & CURLSSLOPT_NO_REVOKE, 0);
    EXPECT_TRUE(seen[1].proxySet && seen[1].systemLogOn);
    EXPECT_EQ(seen[1].proxy, proxyServer.address());
}

#ifndef _WIN32
// Without a router (Linux) libcurl's own environment variables decide.
TEST_F(ProxyRoute, WithoutARouterTheEnvironmentDecides) {
    const QString url = origin.url("/mobile/x.json");
    qputenv("http_proxy", proxyServer.address().toUtf8());
    qunsetenv("no_proxy");
    EXPECT_EQ(fetch(url), "through the proxy");
    qputenv("no_proxy", "127.0.0.1");
    EXPECT_EQ(fetch(url), "straight from the host");
    qunsetenv("http_proxy");
    qunsetenv("no_proxy");
    EXPECT_EQ(proxyServer.asked().size(), 1u);
}
#endif

}  // namespace
