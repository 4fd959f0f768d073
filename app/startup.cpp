#include "app/startup.h"

#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

#include "account/tflogin.h"
#include "app/guard.h"
#include "app/tfmain.h"
#include "app/widgets.h"
#include "card/card_access.h"
#include "platform/codepage.h"
#include "platform/platform.h"

int runProgram() {
    QApplication::setQuitOnLastWindowClosed(false);
    // Every window and box shows the program's own icon, also where no desktop entry names it.
    QIcon icon;
    for (const int size : {48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    // Said once, before anything is read or written in the code page.
    runGuarded([] { platform::checkAnsiCodePage(); });

    auto* mainWindow = new TFMain;  // its creation sends the banner request
    new TFLogin;
    const int result = FLogin->exec();
    if (result != QDialog::Accepted) {
        delete mainWindow;
        return 0;
    }

    window_fit::fitToScreen(mainWindow);
    // Closing the main window ends the program, even while other windows are open.
    mainWindow->setAttribute(Qt::WA_QuitOnClose);
    QObject::connect(mainWindow, &QObject::destroyed, qApp, &QCoreApplication::quit);
    mainWindow->setAttribute(Qt::WA_DeleteOnClose);
    mainWindow->show();
    QApplication::exec();
    return 0;
}

int endProgram(int exitCode) {
    if (!card::CardAccess::waitForThreads(std::chrono::milliseconds{300})) {
        // Nothing else is left to save; destructors would wait on the stuck threads' locks.
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}
