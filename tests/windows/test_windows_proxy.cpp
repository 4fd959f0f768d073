// The user's proxy as Windows keeps it, under Wine: the settings read from the current user's
// registry and the route each request then takes. Runs alone: it changes the user's settings.
#include <windows.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <mutex>

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

}  // namespace
