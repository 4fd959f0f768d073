#include "platform/single_instance.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QEvent>
#include <QWindow>

#include "platform/windows/named_mutex.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

UINT comeForwardMessage() {
    static const UINT message = RegisterWindowMessageW(L"MORVEL_Drivoro_ComeForward");
    return message;
}

// Takes the message a later start sends to every top-level window; it names this process.
class ComeForwardFilter : public QObject, public QAbstractNativeEventFilter {
  public:
    explicit ComeForwardFilter(std::function<void()>* onCall) : onCall_(onCall) {
        QCoreApplication::instance()->installNativeEventFilter(this);
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~ComeForwardFilter() override {
        if (QCoreApplication* app = QCoreApplication::instance()) {
            app->removeEventFilter(this);
            app->removeNativeEventFilter(this);
        }
    }
    // A copy run as administrator would otherwise never hear a later start of lower
    // integrity: Windows drops such messages unless each window lets this one through.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && comeForwardMessage() != 0) {
            if (auto* window = qobject_cast<QWindow*>(watched); window && window->isTopLevel())
                ChangeWindowMessageFilterEx(reinterpret_cast<HWND>(window->winId()),
                                            comeForwardMessage(), MSGFLT_ALLOW, nullptr);
        }
        return false;
    }
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        const MSG* msg = static_cast<const MSG*>(message);
        if (type != "windows_generic_MSG" || msg->message != comeForwardMessage() ||
            msg->message == 0 || msg->wParam != GetCurrentProcessId())
            return false;
        // Every top-level window of this process gets the broadcast: act once.
        if (!pending_) {
            pending_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    pending_ = false;
                    if (*onCall_)
                        (*onCall_)();
                },
                Qt::QueuedConnection);
        }
        return true;
    }

  private:
    std::function<void()>* onCall_;
    bool pending_ = false;
};

}  // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    listener_.reset();
    release();
}

void SingleInstance::listen() {
    // Whether the program runs anywhere, in any session. Every user's copy holds it, also when
    // another user's made it, so it stays while any copy runs.
    if (!programMutex_)
        programMutex_ =
            win::createNamedMutex(QStringLiteral("Global\\MORVEL_Drivoro_UpdateManager")).handle;
    // The one the installer and the uninstaller look for: copies started from the folder they
    // change, any user's, and no copy elsewhere.
    if (!folderMutex_) {
        const QString name = win::programFolderMutexName(QCoreApplication::applicationDirPath());
        if (!name.isEmpty())
            folderMutex_ = win::createNamedMutex(name).handle;
    }
    listener_ = std::make_unique<ComeForwardFilter>(&onCall_);
}

void SingleInstance::release() {
    lock_.reset();
    for (void** mutex : {&programMutex_, &folderMutex_}) {
        if (*mutex)
            CloseHandle(static_cast<HANDLE>(*mutex));
        *mutex = nullptr;
    }
}

void SingleInstance::askToComeForward(qint64 pid) {
    if (pid <= 0 || comeForwardMessage() == 0)
        return;
    // This start was the user's last input: it may hand the right to take the foreground on.
    AllowSetForegroundWindow(static_cast<DWORD>(pid));
    PostMessageW(HWND_BROADCAST, comeForwardMessage(), static_cast<WPARAM>(pid), 0);
}

}  // namespace platform
