#include <windows.h>

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>

#include "platform/windows/win32.h"
#include "platform/windows/windows_platform.h"

namespace platform {
namespace {

// Only the Windows platform plugin's windows are Win32 windows (not so "-platform offscreen").
HWND windowOf(QWidget* widget) {
    if (!widget || QGuiApplication::platformName() != QLatin1String("windows"))
        return nullptr;
    return reinterpret_cast<HWND>(widget->window()->winId());
}

}  // namespace

void WindowsPlatform::messageBox(QWidget* owner, const QString& text, const QString& caption) {
    MessageBoxW(windowOf(owner), win::wide(text).c_str(), win::wide(caption).c_str(),
                MB_OK | MB_APPLMODAL);
}

void WindowsPlatform::errorBox(const QString& text) {
    MessageBoxW(windowOf(QApplication::activeWindow()), win::wide(standardErrorText(text)).c_str(),
                win::wide(applicationTitle()).c_str(), MB_OK | MB_ICONSTOP | MB_APPLMODAL);
}

bool WindowsPlatform::askYesNo(QWidget* owner, const QString& text, const QString& caption) {
    return MessageBoxW(windowOf(owner), win::wide(text).c_str(), win::wide(caption).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_APPLMODAL) == IDYES;
}

}  // namespace platform
