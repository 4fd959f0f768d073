#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <QGuiApplication>
#include <QWidget>

#include "platform/windows/win32.h"
#include "platform/windows/windows_platform.h"

namespace platform {

void WindowsPlatform::openUrl(QWidget* owner, const QString& url) {
    const bool native = QGuiApplication::platformName() == QLatin1String("windows");
    const HWND window =
        owner && native ? reinterpret_cast<HWND>(owner->window()->winId()) : nullptr;
    // Failures are not reported, as the browser's own message is all the user would need.
    ShellExecuteW(window, L"open", win::wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace platform
