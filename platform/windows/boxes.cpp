#include <windows.h>

#include <QGuiApplication>
#include <QWidget>

#include "platform/box_owner.h"
#include "platform/windows/win32.h"
#include "platform/windows/windows_platform.h"

namespace platform {
namespace {

// The program's windows, topmost first, as Windows stacks them.
QList<QWidget*> windowsTopFirst() {
    QList<QWidget*> windows;
    for (HWND h = GetTopWindow(nullptr); h; h = GetWindow(h, GW_HWNDNEXT)) {
        if (QWidget* widget = QWidget::find(reinterpret_cast<WId>(h)); widget && widget->isWindow())
            windows.append(widget);
    }
    return windows;
}

// Only the Windows platform plugin's windows are Win32 windows (not so "-platform offscreen").
HWND windowOf(QWidget* widget) {
    if (!widget || QGuiApplication::platformName() != QLatin1String("windows"))
        return nullptr;
    return reinterpret_cast<HWND>(widget->window()->winId());
}

// The box's owner and the flags that go with it: modal to its owner, or, with none, to the
// whole program and brought to the front.
int showBox(QWidget* requested, const QString& text, const QString& caption, UINT kind) {
    const BoxOwner chosen = boxOwner(requested, windowsTopFirst());
    const HWND owner = windowOf(chosen.window);
    const UINT modality =
        owner && !chosen.taskModal ? MB_APPLMODAL : MB_TASKMODAL | MB_SETFOREGROUND;
    return MessageBoxW(owner, win::wide(text).c_str(), win::wide(caption).c_str(), kind | modality);
}

}  // namespace

void WindowsPlatform::messageBox(QWidget* owner, const QString& text, const QString& caption) {
    showBox(owner, text, caption, MB_OK);
}

void WindowsPlatform::errorBox(const QString& text) {
    showBox(nullptr, standardErrorText(text), applicationTitle(), MB_OK | MB_ICONSTOP);
}

bool WindowsPlatform::askYesNo(QWidget* owner, const QString& text, const QString& caption) {
    return showBox(owner, text, caption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

}  // namespace platform
