#include "platform/windows/proxy_settings.h"

#include <windows.h>
#include <winhttp.h>

#include <QUrl>
#include <condition_variable>
#include <memory>
#include <thread>

namespace platform::win {
namespace {

QString takeString(LPWSTR text) {
    if (!text)
        return {};
    QString result = QString::fromWCharArray(text);
    GlobalFree(text);
    return result;
}

using Clock = std::chrono::steady_clock;

// The ways in turn on a thread of their own, so that a slow script or a silent search for
// one cannot hold the request longer than the wait.
ScriptAnswer askInTurn(const ProxyRoutes::Ask& ask, const ProxySettings& settings,
                       const QString& url, std::chrono::milliseconds wait) {
    struct Shared {
        std::mutex m;
        std::condition_variable done;
        bool finished = false;
        ScriptAnswer answer;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, ask, settings, url] {
        ScriptAnswer answer;
        for (const ScriptWay way : scriptWays(settings)) {
            answer = ask(way, settings, url);
            if (answer.ok)
                break;
        }
        const std::lock_guard<std::mutex> guard(shared->m);
        shared->answer = answer;
        shared->finished = true;
        shared->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> guard(shared->m);
    shared->done.wait_for(guard, wait, [&] { return shared->finished; });
    return shared->finished ? shared->answer : ScriptAnswer{};
}

}  // namespace

ProxySettings userProxySettings() {
    ProxySettings settings;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return settings;
    settings.autoDetect = config.fAutoDetect;
    settings.configScript = takeString(config.lpszAutoConfigUrl);
    settings.proxyList = takeString(config.lpszProxy);
    settings.bypassList = takeString(config.lpszProxyBypass);
    return settings;
}

QList<ScriptWay> scriptWays(const ProxySettings& settings) {
    // Asked for both in one call, the system would search first; the script the user named
    // comes first here.
    QList<ScriptWay> ways;
    if (!settings.configScript.isEmpty())
        ways << ScriptWay::ConfigUrl;
    if (settings.autoDetect)
        ways << ScriptWay::AutoDetect;
    return ways;
}

ScriptAnswer askSystem(ScriptWay way, const ProxySettings& settings, const QString& url) {
    ScriptAnswer answer;
    const HINTERNET session = WinHttpOpen(L"MORVEL Drivoro", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return answer;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    const std::wstring script = settings.configScript.toStdWString();
    if (way == ScriptWay::ConfigUrl) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = script.c_str();
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    const std::wstring target = url.toStdWString();
    if (WinHttpGetProxyForUrl(session, target.c_str(), &options, &info)) {
        answer.ok = true;
        const QString list = takeString(info.lpszProxy);
        answer.bypassList = takeString(info.lpszProxyBypass);
        if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
            answer.proxyList = list;
    }
    WinHttpCloseHandle(session);
    return answer;
}

ProxyRoutes::ProxyRoutes(ProxySettings settings, Ask ask, std::chrono::milliseconds budget)
    : settings_(std::move(settings)), ask_(std::move(ask)), budget_(budget) {}

proxy::Route ProxyRoutes::route(const QString& url) {
    const QUrl parsed(url);
    const QString scheme = parsed.scheme().toLower();
    const QString host = parsed.host();
    const int port = parsed.port(scheme == QLatin1String("https") ? 443 : 80);
    proxy::Route route{true, {}, true};

    QString list = settings_.proxyList;
    QString bypass = settings_.bypassList;
    if (!scriptWays(settings_).isEmpty()) {
        const QString key =
            scheme + QLatin1String("://") + host + QLatin1Char(':') + QString::number(port);
        const std::lock_guard<std::mutex> guard(lock_);
        auto known = answers_.find(key);
        if (known == answers_.end()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(budget_ - used_);
            ScriptAnswer answer;
            if (left.count() > 0) {
                const auto start = Clock::now();
                answer = askInTurn(ask_, settings_, url, left);
                used_ += Clock::now() - start;
            }
            known = answers_.insert(key, answer);
        }
        if (known->ok) {
            // The script has the last word; a direct answer is direct.
            list = known->proxyList;
            bypass = known->bypassList;
        }
    }
    if (list.isEmpty() || proxy::bypasses(bypass, scheme, host, port))
        return route;
    route.proxy = proxy::proxyForScheme(list, scheme);
    return route;
}

namespace {

// The user's routes, read on first use by whichever thread comes first.
struct UserRoutes {
    std::once_flag once;
    std::unique_ptr<ProxyRoutes> routes;

    proxy::Route route(const QString& url) {
        std::call_once(once,
                       [this] { routes = std::make_unique<ProxyRoutes>(userProxySettings()); });
        return routes->route(url);
    }
};

std::mutex g_startLock;
bool g_started = false;

void installRoutes(const std::shared_ptr<UserRoutes>& routes) {
    proxy::setRouter([routes](const QString& url) { return routes->route(url); });
}

}  // namespace

void installUserProxyRouter() {
    installRoutes(std::make_shared<UserRoutes>());
}

void startUserProxyRouter(const QStringList& firstAddresses) {
    auto routes = std::make_shared<UserRoutes>();
    {
        const std::lock_guard<std::mutex> guard(g_startLock);
        installRoutes(routes);
        g_started = true;
    }
    // Holds the routes itself: it may outlive the program's window, never its answers.
    std::thread([routes, firstAddresses] {
        for (const QString& address : firstAddresses)
            routes->route(address);
    }).detach();
}

void ensureUserProxyRouter() {
    const std::lock_guard<std::mutex> guard(g_startLock);
    if (!g_started)
        installUserProxyRouter();
}

}  // namespace platform::win
