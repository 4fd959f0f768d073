#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "app/built_in_authority.h"
#include "app/command_line.h"
#include "app/requests.h"
#include "app/startup.h"
#include "platform/single_instance.h"
#ifdef _WIN32
#include "platform/windows/windows_platform.h"
using SystemPlatform = platform::WindowsPlatform;
#else
#include "base/extra_authority.h"
#include "platform/linux_platform.h"
using SystemPlatform = platform::LinuxPlatform;
#endif

namespace {

// The window the user deals with now: the login window at the gate, else the main window.
QWidget* currentWindow() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->isVisible() && top->inherits("TFMain"))
            return top;
    }
    return nullptr;
}

void bringWindowForward() {
    QWidget* window = currentWindow();
    if (!window)
        return;
    // An X server refuses a focus request stamped older than the last focus change, and the
    // program's last X event may be long past: touching the title brings a fresh time.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        const QString title = window->windowTitle();
        window->setWindowTitle(title + QLatin1Char(' '));
        window->setWindowTitle(title);
    }
    QTimer::singleShot(100, window, [window] {
        if (window->isMinimized())
            window->showNormal();
        window->raise();
        window->activateWindow();
    });
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const auto exitCode = handleCommandLine(argc, argv))
        return *exitCode;
#ifndef _WIN32
    try {
        extra_authority::set(builtInExtraAuthority());
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "drivoro-update-manager: %s\n", e.what());
        return 1;
    }
#endif
    // Beside the window system's start, on the second core where there is one.
    const std::jthread transfersReady(requests::prepareTransfers);
    QApplication app(argc, argv);
    // One copy per user: two would write the same saved login and the same card.
    platform::SingleInstance instance;
    if (!instance.claim(bringWindowForward))
        return 0;
    SystemPlatform system;
    platform::install(&system);
    const int exitCode = runProgram();
    ProgramEnd end;
    end.release = [&instance] { instance.release(); };
#ifdef _WIN32
    // The drive poll's calls reach the platform: none may start or be out once it is gone.
    end.platformCalls = [](std::chrono::milliseconds timeout) {
        platform::win::DrivePoller::stopAll();
        return platform::win::DrivePoller::waitForCalls(timeout);
    };
#endif
    return endProgram(exitCode, end);
}
