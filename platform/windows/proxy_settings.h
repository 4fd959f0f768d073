#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <mutex>

#include "base/proxy.h"

namespace platform::win {

// The current user's proxy settings as Windows keeps them.
struct ProxySettings {
    bool autoDetect = false;  // "자동으로 설정 검색"
    QString configScript;     // the configuration script's address; empty when none
    QString proxyList;        // "host:port" or "http=host:port;https=host:port"; empty: direct
    QString bypassList;
};

ProxySettings userProxySettings();

// What a configuration script said for one address.
struct ScriptAnswer {
    bool ok = false;  // false: no script answered
    QString proxyList;
    QString bypassList;
};

// The ways to a script that the settings name, in the order they are tried: the script at its
// address, then the one automatic detection finds. The first that answers decides.
enum class ScriptWay { ConfigUrl, AutoDetect };
QList<ScriptWay> scriptWays(const ProxySettings& settings);

// Asks the system (WinHttpGetProxyForUrl) one way; takes as long as the system takes.
ScriptAnswer askSystem(ScriptWay way, const ProxySettings& settings, const QString& url);

// The banner request before the login window waits on the first answer: scripts get 5 s in
// all for the whole run, after which the static lists decide.
constexpr std::chrono::milliseconds kScriptBudget{5000};

// The routes of one run by the user's settings: the scripts' answer while one comes within
// what is left of the budget, else the static lists. Always decided: libcurl never guesses.
// A script's answer holds for the whole run, per scheme, host and port.
class ProxyRoutes {
  public:
    using Ask = std::function<ScriptAnswer(ScriptWay, const ProxySettings&, const QString& url)>;
    explicit ProxyRoutes(ProxySettings settings, Ask ask = askSystem,
                         std::chrono::milliseconds budget = kScriptBudget);
    proxy::Route route(const QString& url);

  private:
    const ProxySettings settings_;
    const Ask ask_;
    const std::chrono::milliseconds budget_;
    std::mutex lock_;
    std::chrono::steady_clock::duration used_{};
    QHash<QString, ScriptAnswer> answers_;
};

// Reads the user's settings once, on the first request, and routes every transfer by them.
void installUserProxyRouter();

// The program's start: installs the router at once and, on a thread of its own, reads the
// user's settings and asks their script about each of firstAddresses, so that the look-up
// overlaps Qt's start-up instead of holding the first request. The budget is the same; a
// request that comes before the answer waits for what is left of it.
void startUserProxyRouter(const QStringList& firstAddresses);
// Installs the router unless startUserProxyRouter has already.
void ensureUserProxyRouter();

}  // namespace platform::win
