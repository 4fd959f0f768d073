#pragma once

#include <QString>

#include "base/proxy.h"

namespace platform::win {

// The current user's proxy settings as Windows keeps them.
struct ProxySettings {
    bool autoDetect = false;
    QString configScript;  // the configuration script's address; empty when none
    QString proxyList;     // "host:port" or "http=host:port;https=host:port"; empty: direct
    QString bypassList;
};

ProxySettings userProxySettings();

// The route of one request: the script's answer while it gives one within what is left of the
// run's 5 s for scripts, else the static lists. Always decided: libcurl never guesses.
proxy::Route routeThrough(const ProxySettings& settings, const QString& url);

// Reads the user's settings once, on the first request, and routes every transfer by them.
void installUserProxyRouter();

}  // namespace platform::win
