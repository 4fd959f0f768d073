#include "platform/platform.h"

#include <QCoreApplication>

namespace platform {
namespace {
Platform* g_instance = nullptr;
}

Platform& current() {
    Q_ASSERT(g_instance);
    return *g_instance;
}

Platform* install(Platform* instance) {
    Platform* previous = g_instance;
    g_instance = instance;
    return previous;
}

QString applicationTitle() {
    return QStringLiteral("Pelnira 업데이트 매니저 V1.0");
}

QString standardErrorText(const QString& text) {
    if (!text.isEmpty() && text.back() > QLatin1Char('.')) {
        return text + QLatin1Char('.');
    }
    return text;
}

}  // namespace platform
