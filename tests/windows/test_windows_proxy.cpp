// The user's proxy as Windows keeps it, under Wine: the settings read from the current user's
// registry and the route each request then takes. Runs alone: it changes the user's settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "base/http_transfer.h"
#include "base/proxy.h"
#include "platform/windows/proxy_settings.h"
#include "support/test_server.h"

namespace {

const wchar_t* kConnections =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const wchar_t* kSettings = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

void appendDword(QByteArray& blob, DWORD value) {
    blob.append(reinterpret_cast<const char*>(&value), sizeof value);
}
void appendText(QByteArray& blob, const QByteArray& text) {
    appendDword(blob, static_cast<DWORD>(text.size()));
    blob.append(text);
}

// Sets a manual proxy for the current user as the Internet Options dialog stores it, and puts
// the previous settings back when done.
class UserProxy {
  public:
    UserProxy(const QByteArray& server, const QByteArray& bypass) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &connections_, nullptr);
        RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &settings_, nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(connections_, L"DefaultConnectionSettings", nullptr, nullptr, nullptr,
                             &size) == ERROR_SUCCESS) {
            saved_.resize(size);
            RegQueryValueExW(connections_, L"DefaultConnectionSettings", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(saved_.data()), &size);
            hadSaved_ = true;
        }
        QByteArray blob;
        appendDword(blob, 0x46);       // the settings' format
        appendDword(blob, 1);          // how often they were written
        appendDword(blob, 0x1 | 0x2);  // direct, and a manual proxy
        appendText(blob, server);
        appendText(blob, bypass);
        appendText(blob, {});  // no configuration script
        blob.append(QByteArray(32, '\0'));
        RegSetValueExW(connections_, L"DefaultConnectionSettings", 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(blob.constData()),
                       static_cast<DWORD>(blob.size()));
        const DWORD enable = 1;
        RegSetValueExW(settings_, L"ProxyEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&enable), sizeof enable);
        const std::wstring s = QString::fromLatin1(server).toStdWString();
        const std::wstring b = QString::fromLatin1(bypass).toStdWString();
        RegSetValueExW(settings_, L"ProxyServer", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(s.c_str()),
                       static_cast<DWORD>((s.size() + 1) * sizeof(wchar_t)));
        RegSetValueExW(settings_, L"ProxyOverride", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(b.c_str()),
                       static_cast<DWORD>((b.size() + 1) * sizeof(wchar_t)));
    }
    ~UserProxy() {
        if (hadSaved_) {
            RegSetValueExW(connections_, L"DefaultConnectionSettings", 0, REG_BINARY,
                           reinterpret_cast<const BYTE*>(saved_.constData()),
                           static_cast<DWORD>(saved_.size()));
        } else {
            RegDeleteValueW(connections_, L"DefaultConnectionSettings");
        }
        const DWORD disable = 0;
        RegSetValueExW(settings_, L"ProxyEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&disable), sizeof disable);
        RegDeleteValueW(settings_, L"ProxyServer");
        RegDeleteValueW(settings_, L"ProxyOverride");
        RegCloseKey(connections_);
        RegCloseKey(settings_);
    }

  private:
    HKEY connections_ = nullptr;
    HKEY settings_ = nullptr;
    QByteArray saved_;
    bool hadSaved_ = false;
};

TEST(WindowsProxy, UserSettingsRouteRequestsThroughTheProxyOrAroundIt) {
    TestServer proxyServer;
    std::vector<std::string> asked;
    std::mutex m;
    proxyServer.http().Get(R"(.*)", [&](const httplib::Request& req, httplib::Response& res) {
        const std::lock_guard<std::mutex> guard(m);
        asked.push_back(req.target);
        res.set_content("through the proxy", "text/plain");
    });
    proxyServer.start();
    TestServer origin;
    origin.http().Get(R"(.*)", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("straight from the host", "text/plain");
    });
    origin.start();
    const QString url = origin.url("/mobile/x.json");

    for (const bool hostBypassed : {false, true}) {
        const QByteArray bypass = hostBypassed ? "<-loopback>;127.0.0.*" : "<-loopback>";
        const UserProxy user("http=" + proxyServer.host().toLatin1(), bypass);
        const platform::win::ProxySettings settings = platform::win::userProxySettings();
        if (settings.proxyList.isEmpty())
            GTEST_SKIP() << "this system does not report the user's proxy settings";
        EXPECT_EQ(settings.proxyList, "http=" + proxyServer.host());
        EXPECT_EQ(settings.bypassList, QString::fromLatin1(bypass));

        platform::win::installUserProxyRouter();
        const QByteArray body = httpExchange(HttpRequest{url, false, {}, {}}).body;
        proxy::setRouter({});
        EXPECT_EQ(body, hostBypassed ? "straight from the host" : "through the proxy");
        const std::lock_guard<std::mutex> guard(m);
        EXPECT_EQ(asked.size(), 1u) << hostBypassed;
    }
}

// A stand-in for the system's script lookups: notes each way as it is asked and answers as
// told; it may outlive the test on the thread the lookup runs on.
struct Lookups {
    using Way = platform::win::ScriptWay;
    using Answer = platform::win::ScriptAnswer;
    struct Shared {
        std::mutex m;
        QList<Way> asked;
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    platform::win::ProxyRoutes::Ask ask(Answer script, Answer detected,
                                        std::chrono::milliseconds scriptTakes = {}) const {
        return [shared = shared, script, detected, scriptTakes](
                   Way way, const platform::win::ProxySettings&, const QString&) {
            {
                const std::lock_guard<std::mutex> guard(shared->m);
                shared->asked << way;
            }
            if (way == Way::AutoDetect)
                return detected;
            std::this_thread::sleep_for(scriptTakes);
            return script;
        };
    }
    QList<Way> asked() const {
        const std::lock_guard<std::mutex> guard(shared->m);
        return shared->asked;
    }
};

// With "자동으로 설정 검색" and a configuration script both set, the script is asked first and
// the automatic search only when the script gives no answer; the static lists decide when
// neither answers.
TEST(WindowsProxy, ScriptFirstThenAutomaticDetectionThenTheLists) {
    using Way = platform::win::ScriptWay;
    using Answer = platform::win::ScriptAnswer;
    const Answer none;
    const Answer script{true, "script:1", ""};
    const Answer detected{true, "detected:2", ""};
    const Answer direct{true, "", ""};
    struct Case {
        const char* name;
        bool autoDetect;
        bool hasScript;
        Answer script;
        Answer detected;
        QList<Way> asked;
        QString proxy;
    };
    const Case cases[] = {
        {"script answers", true, true, script, detected, {Way::ConfigUrl}, "http://script:1"},
        {"script silent, search answers",
         true,
         true,
         none,
         detected,
         {Way::ConfigUrl, Way::AutoDetect},
         "http://detected:2"},
        {"script says direct", true, true, direct, detected, {Way::ConfigUrl}, ""},
        {"neither answers",
         true,
         true,
         none,
         none,
         {Way::ConfigUrl, Way::AutoDetect},
         "http://list:3"},
        {"script alone", false, true, none, detected, {Way::ConfigUrl}, "http://list:3"},
        {"search alone", true, false, script, detected, {Way::AutoDetect}, "http://detected:2"},
        {"neither set", false, false, script, detected, {}, "http://list:3"},
    };
    for (const Case& c : cases) {
        const platform::win::ProxySettings settings{
            c.autoDetect, c.hasScript ? "http://wpad.example/proxy.pac" : "", "list:3", ""};
        const Lookups lookups;
        platform::win::ProxyRoutes routes(settings, lookups.ask(c.script, c.detected));
        const proxy::Route route = routes.route("http://service.example/mobile/x.json");
        EXPECT_TRUE(route.decided) << c.name;
        EXPECT_EQ(route.proxy, c.proxy) << c.name;
        EXPECT_EQ(lookups.asked(), c.asked) << c.name;
        // The answer holds for the host for the rest of the run.
        EXPECT_EQ(routes.route("http://service.example/mobile/y.json").proxy, c.proxy) << c.name;
        EXPECT_EQ(lookups.asked(), c.asked) << c.name;
    }
}

// Both ways share the run's budget: a script that takes all of it leaves the lists to decide,
// and nothing more is asked for any host.
TEST(WindowsProxy, BothWaysWithinTheRunsBudget) {
    using Way = platform::win::ScriptWay;
    const platform::win::ProxySettings settings{true, "http://wpad.example/proxy.pac", "list:3",
                                                ""};
    const Lookups lookups;
    platform::win::ProxyRoutes routes(settings,
                                      lookups.ask({true, "script:1", ""}, {true, "detected:2", ""},
                                                  std::chrono::milliseconds(1500)),
                                      std::chrono::milliseconds(200));
    EXPECT_EQ(routes.route("http://service.example/x").proxy, "http://list:3");
    EXPECT_EQ(routes.route("http://other.example/x").proxy, "http://list:3");
    EXPECT_EQ(lookups.asked(), QList<Way>{Way::ConfigUrl});
}

// The system's own lookup runs the script at the address the settings give.
TEST(WindowsProxy, SystemRunsTheConfigurationScript) {
    TestServer scripts;
    scripts.answer("/proxy.pac",
                   "function FindProxyForURL(url, host) {\n"
                   "  if (host == \"bypassed.example\") return \"DIRECT\";\n"
                   "  return \"PROXY scripted.example:8080\";\n"
                   "}\n",
                   200, "application/x-ns-proxy-autoconfig");
    scripts.start();
    const platform::win::ProxySettings settings{false, scripts.url("/proxy.pac"), "", ""};
    const platform::win::ScriptAnswer answer = platform::win::askSystem(
        platform::win::ScriptWay::ConfigUrl, settings, "http://service.example/x");
    if (!answer.ok)
        GTEST_SKIP() << "this system runs no configuration script";
    EXPECT_EQ(answer.proxyList, "scripted.example:8080");
    platform::win::ProxyRoutes routes(settings);
    EXPECT_EQ(routes.route("http://service.example/x").proxy, "http://scripted.example:8080");
    EXPECT_EQ(routes.route("http://bypassed.example/x").proxy, "");
}

}  // namespace
