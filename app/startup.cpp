#include "app/startup.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "account/tflogin.h"
#include "app/guard.h"
#include "app/tfmain.h"
#include "app/widgets.h"
#include "card/card_access.h"
#include "platform/card_lock.h"
#include "platform/codepage.h"
#include "platform/platform.h"

namespace {

// Every new widget posts itself a request to be polished (its style sheet applied, its fonts
// resolved). Answered in the login window's event loop, the hidden main window's would all be
// polished before the login window appears; they are taken back and the main window is
// polished once the login window has been painted, while the user reads it.
class PolishAfterFirstPaint : public QObject {
  public:
    PolishAfterFirstPaint(QWidget* hidden, QWidget* shown) : QObject(shown), hidden_(hidden) {
        QCoreApplication::removePostedEvents(hidden, QEvent::PolishRequest);
        for (QWidget* child : hidden->findChildren<QWidget*>())
            QCoreApplication::removePostedEvents(child, QEvent::PolishRequest);
        shown->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, hidden_, [hidden = hidden_] { hidden->ensurePolished(); });
            deleteLater();
        }
        return false;
    }

  private:
    QPointer<QWidget> hidden_;
};

}  // namespace

int runProgram() {
    QApplication::setQuitOnLastWindowClosed(false);
    // Every window and box shows the program's own icon, also where no desktop entry names it.
    // Decoded beside the main window's construction. Given as file names, QIcon would ask every
    // icon engine and image plugin installed about them first.
    QApplication::setWindowIcon(
        builtInIcon({QStringLiteral(":/icons/48.png"), QStringLiteral(":/icons/128.png"),
                     QStringLiteral(":/icons/256.png")}));
    // Said once, before anything is read or written in the code page.
    runGuarded([] { platform::checkAnsiCodePage(); });

    auto* mainWindow = new TFMain;  // its creation sends the banner request
    new TFLogin;
    new PolishAfterFirstPaint(mainWindow, FLogin);
    const int result = FLogin->exec();
    if (result != QDialog::Accepted) {
        delete mainWindow;
        return 0;
    }

    // Its sizes are set when it is polished; fitting it to the screen needs them.
    mainWindow->ensurePolished();
    window_fit::fitToScreen(mainWindow);
    // Closing the main window ends the program, even while other windows are open.
    mainWindow->setAttribute(Qt::WA_QuitOnClose);
    QObject::connect(mainWindow, &QObject::destroyed, qApp, &QCoreApplication::quit);
    mainWindow->setAttribute(Qt::WA_DeleteOnClose);
    mainWindow->show();
    QApplication::exec();
    return 0;
}

int endProgram(int exitCode, const ProgramEnd& end) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds{300};
    const auto left = [deadline] {
        return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()),
                        std::chrono::milliseconds{0});
    };
    const bool cardsDone = card::CardAccess::waitForThreads(left());
    const bool platformDone = !end.platformCalls || end.platformCalls(left());
    if (!cardsDone || !platformDone) {
        // The system may keep this process until the card answers or is pulled: a later
        // start must find neither its lock nor its window's promise.
        platform::CardLock::markHoldersEnding();
        if (end.release)
            end.release();
        // Nothing else is left to save; destructors would wait on the stuck threads' locks.
        std::fflush(nullptr);
        end.quickExit(exitCode);
    }
    return exitCode;
}
