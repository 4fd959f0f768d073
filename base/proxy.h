#pragma once

#include <QString>
#include <functional>

// How each request reaches its host through the user's proxy. Windows keeps its proxy settings
// for the user (a list per scheme, a bypass list, or a configuration script) and libcurl reads
// none of them, so the Windows platform installs a router at start; without one, libcurl's
// own http_proxy / https_proxy / no_proxy handling stands.
namespace proxy {

struct Route {
    bool decided = false;  // false: leave it to libcurl
    QString proxy;         // "http://host:port"; empty for a direct connection
    // Authenticate to the proxy as the user logged on to Windows (Negotiate or NTLM).
    bool systemLogOn = false;
};

using Router = std::function<Route(const QString& url)>;
// Installs the router every transfer asks; an empty one restores libcurl's own handling.
void setRouter(Router router);
Route routeFor(const QString& url);

// The proxy a Windows list names for a scheme ("http" or "https"): "host:port" for every
// scheme, or "http=host:port;https=host:port" (entries of other schemes are skipped). Returned
// with its scheme, "http://host:port"; empty when the list names none for the scheme.
QString proxyForScheme(const QString& list, const QString& scheme);

// Whether a Windows bypass list sends host straight to it: entries separated by ";" (or blanks
// and commas), case-insensitive, "*" matching any run of characters; "<local>" for a name
// without a dot; the loopback (localhost, 127.*, [::1]) always, unless "<-loopback>" is listed.
// An entry with a port (or a scheme) is compared with "host:port" (or "scheme://host:port").
bool bypasses(const QString& bypassList, const QString& scheme, const QString& host, int port);

// The options a transfer set, reported to a test's observer before it starts.
struct AppliedOptions {
    QString url;
    bool proxySet = false;  // CURLOPT_PROXY was set (to proxy)
    QString proxy;
    bool systemLogOn = false;
    long sslOptions = 0;          // CURLOPT_SSL_OPTIONS
    long verifyPeer = 0;          // CURLOPT_SSL_VERIFYPEER, set for https only
    long verifyHost = 0;          // CURLOPT_SSL_VERIFYHOST, set for https only
    bool extraAuthority = false;  // trusts the build's extra authority beside the system's
};
using Observer = std::function<void(const AppliedOptions&)>;
void setObserver(Observer observer);
void report(const AppliedOptions& options);

}  // namespace proxy
