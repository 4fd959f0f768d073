#include "platform/windows/proxy_settings.h"

#include <windows.h>
#include <winhttp.h>

#include <QHash>
#include <QUrl>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
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
// The banner request before the login window waits on the first answer: scripts get 5 s in
// all for the whole run, after which the static lists decide.
constexpr std::chrono::milliseconds kScriptBudget{5000};

struct ScriptAnswer {
    bool ok = false;
    QString proxyList;
    QString bypassList;
};

// One lookup through the script on a thread of its own, so that a slow script or a silent
// WPAD search cannot hold the request longer than the budget left.
ScriptAnswer askScript(const ProxySettings& settings, const QString& url,
                       std::chrono::milliseconds wait) {
    struct Shared {
        std::mutex m;
        std::condition_variable done;
        bool finished = false;
        ScriptAnswer answer;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, settings, url] {
        ScriptAnswer answer;
        const HINTERNET session = WinHttpOpen(L"MORVEL Drivoro", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (session) {
            WINHTTP_AUTOPROXY_OPTIONS options{};
            const std::wstring script = settings.configScript.toStdWString();
            if (!settings.configScript.isEmpty()) {
                options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
                options.lpszAutoConfigUrl = script.c_str();
            } else {
                options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
                options.dwAutoDetectFlags =
                    WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
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

std::mutex scriptLock;
Clock::duration scriptTimeUsed{};
// Per scheme and host: a script's answer holds for the whole run.
QHash<QString, ScriptAnswer> scriptAnswers;

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

proxy::Route routeThrough(const ProxySettings& settings, const QString& url) {
    const QUrl parsed(url);
    const QString scheme = parsed.scheme().toLower();
    const QString host = parsed.host();
    const int port = parsed.port(scheme == QLatin1String("https") ? 443 : 80);
    proxy::Route route{true, {}, true};

    QString list = settings.proxyList;
    QString bypass = settings.bypassList;
    if (settings.autoDetect || !settings.configScript.isEmpty()) {
        const QString key =
            scheme + QLatin1String("://") + host + QLatin1Char(':') + QString::number(port);
        std::lock_guard<std::mutex> guard(scriptLock);
        auto known = scriptAnswers.find(key);
        if (known == scriptAnswers.end()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kScriptBudget -
                                                                                    scriptTimeUsed);
            ScriptAnswer answer;
            if (left.count() > 0) {
                const auto start = Clock::now();
                answer = askScript(settings, url, left);
                scriptTimeUsed += Clock::now() - start;
            }
            known = scriptAnswers.insert(key, answer);
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

void installUserProxyRouter() {
    auto settings = std::make_shared<std::once_flag>();
    auto read = std::make_shared<ProxySettings>();
    proxy::setRouter([settings, read](const QString& url) {
        std::call_once(*settings, [&read] { *read = userProxySettings(); });
        return routeThrough(*read, url);
    });
}

}  // namespace platform::win
