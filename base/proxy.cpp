#include "base/proxy.h"

#include <QRegularExpression>
#include <algorithm>
#include <mutex>

namespace proxy {
namespace {

std::mutex& lock() {
    static std::mutex m;
    return m;
}

// A copy taken under the lock, so that the hook runs without holding it.
template <typename T>
T lockedCopy(const T& value) {
    const std::lock_guard<std::mutex> guard(lock());
    return value;
}
Router& installedRouter() {
    static Router r;
    return r;
}
Observer& installedObserver() {
    static Observer o;
    return o;
}

QString withScheme(const QString& server) {
    return server.contains(QStringLiteral("://")) ? server : QStringLiteral("http://") + server;
}

bool isLoopback(const QString& host) {
    const QString h = host.toLower();
    return h == QLatin1String("localhost") || h == QLatin1String("::1") ||
           h == QLatin1String("[::1]") || h.startsWith(QLatin1String("127.")) ||
           h.endsWith(QLatin1String(".localhost"));
}

bool globMatches(const QString& pattern, const QString& text) {
    const QRegularExpression re(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(pattern).replace(
            QStringLiteral("\\*"), QStringLiteral(".*"))),
        QRegularExpression::CaseInsensitiveOption);
    return re.match(text).hasMatch();
}

}  // namespace

void setRouter(Router router) {
    const std::lock_guard<std::mutex> guard(lock());
    installedRouter() = std::move(router);
}

Route routeFor(const QString& url) {
    const Router router = lockedCopy(installedRouter());
    return router ? router(url) : Route{};
}

QString proxyForScheme(const QString& list, const QString& scheme) {
    QString any;
    for (const QString& raw :
         list.split(QRegularExpression(QStringLiteral("[;\\s]+")), Qt::SkipEmptyParts)) {
        const qsizetype eq = raw.indexOf(QLatin1Char('='));
        if (eq < 0) {
            if (any.isEmpty())
                any = raw;
            continue;
        }
        if (raw.left(eq).trimmed().compare(scheme, Qt::CaseInsensitive) == 0) {
            const QString server = raw.mid(eq + 1).trimmed();
            if (!server.isEmpty())
                return withScheme(server);
        }
    }
    return any.isEmpty() ? QString() : withScheme(any);
}

bool bypasses(const QString& bypassList, const QString& scheme, const QString& host, int port) {
    const QStringList entries =
        bypassList.split(QRegularExpression(QStringLiteral("[;,\\s]+")), Qt::SkipEmptyParts);
    const bool loopbackProxied = std::any_of(entries.begin(), entries.end(), [](const QString& e) {
        return e.compare(QLatin1String("<-loopback>"), Qt::CaseInsensitive) == 0;
    });
    if (!loopbackProxied && isLoopback(host))
        return true;
    const QString hostPort = host + QLatin1Char(':') + QString::number(port);
    for (const QString& entry : entries) {
        if (entry.compare(QLatin1String("<local>"), Qt::CaseInsensitive) == 0) {
            if (!host.contains(QLatin1Char('.')) && !host.contains(QLatin1Char(':')))
                return true;
            continue;
        }
        if (entry.startsWith(QLatin1Char('<')))
            continue;
        if (entry.contains(QStringLiteral("://"))) {
            if (globMatches(entry, scheme + QStringLiteral("://") + hostPort) ||
                globMatches(entry, scheme + QStringLiteral("://") + host))
                return true;
        } else if (globMatches(entry, host) || globMatches(entry, hostPort)) {
            return true;
        }
    }
    return false;
}

void setObserver(Observer observer) {
    const std::lock_guard<std::mutex> guard(lock());
    installedObserver() = std::move(observer);
}

void report(const AppliedOptions& options) {
    const Observer observer = lockedCopy(installedObserver());
    if (observer)
        observer(options);
}

}  // namespace proxy
