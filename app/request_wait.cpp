#include "app/request_wait.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QList>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <thread>

#include "base/http_transfer.h"

const char* RequestAbandoned::what() const noexcept {
    return why_ == Why::WindowClosed ? "The window was closed while its request was out"
                                     : "Another request is out";
}

namespace request_wait {
namespace {

// Input that did not come through the window system's queue (which the loop leaves alone).
bool isInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::ContextMenu:
        case QEvent::Shortcut:
        case QEvent::InputMethod:
            return true;
        default:
            return false;
    }
}

// What a window still being built would otherwise be handed from the event loop: the polish,
// layout and paint requests its widgets posted as they were made, and the changes announced to
// every widget. All are plain or public event classes, which copy whole; queued calls, timers
// and deletions are Qt's own business and pass, and what code sends to a widget directly is
// answered at once as it expects.
bool holdForUnbuilt(QEvent::Type type) {
    switch (type) {
        case QEvent::PolishRequest:
        case QEvent::LayoutRequest:
        case QEvent::UpdateRequest:
        case QEvent::FontChange:
        case QEvent::PaletteChange:
        case QEvent::StyleChange:
        case QEvent::LanguageChange:
        case QEvent::LocaleChange:
        case QEvent::ApplicationFontChange:
        case QEvent::ApplicationPaletteChange:
            return true;
        default:
            return isInput(type);
    }
}

// A window that has never been shown is one still being built (or kept hidden, as the main
// window is at the login gate): it has nothing to show and nothing to answer yet.
bool neverShown(const QWidget* widget) {
    const QWidget* window = widget->window();
    return !window->isVisible() && !window->testAttribute(Qt::WA_WState_ExplicitShowHide);
}

class Wait : public QObject {
  public:
    explicit Wait(std::atomic<bool>& cancel) : cancel_(cancel) { qApp->installEventFilter(this); }
    ~Wait() override {
        qApp->removeEventFilter(this);
        for (const Held& h : std::as_const(held_))
            delete h.event;
    }

    bool windowClosed() const { return !closed_.isEmpty(); }

    // Hands over what was held, in order, and closes the windows whose close was held: once
    // the action that waited has unwound, from the event loop.
    void release() {
        qApp->removeEventFilter(this);
        for (Held& h : held_) {
            if (h.receiver)
                QCoreApplication::postEvent(h.receiver, h.event);
            else
                delete h.event;
            h.event = nullptr;
        }
        held_.clear();
        for (const QPointer<QWidget>& window : std::as_const(closed_)) {
            if (!window)
                continue;
            QTimer::singleShot(0, window, [window] {
                // As the window system does: a window that a modal window has come to block
                // meanwhile (a payment window opened by the action) takes no close.
                const QWidget* modal = QApplication::activeModalWidget();
                if (!modal || modal == window)
                    window->close();
            });
        }
        closed_.clear();
    }

  protected:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        if (!receiver->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(receiver);
        const QEvent::Type type = event->type();
        if (type == QEvent::Close && widget->isWindow()) {
            if (!closed_.contains(widget))
                closed_.append(widget);
            cancel_ = true;
            event->ignore();
            return true;
        }
        if (isInput(type) || (neverShown(widget) && holdForUnbuilt(type))) {
            held_.append(Held{widget, event->clone()});
            return true;
        }
        return false;
    }

  private:
    struct Held {
        QPointer<QObject> receiver;
        QEvent* event;
    };
    std::atomic<bool>& cancel_;
    QList<Held> held_;
    QList<QPointer<QWidget>> closed_;
};

int g_waits = 0;  // the window's thread only

}  // namespace

void run(const Work& work) {
    if (g_waits > 0)
        throw RequestAbandoned(RequestAbandoned::Why::AnotherRequestOut);
    // Not a window's thread (a bench's or a tool's worker): nothing to keep answering.
    if (!qApp || QThread::currentThread() != qApp->thread()) {
        const std::atomic<bool> never{false};
        work(never);
        return;
    }

    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    QEventLoop loop;
    Wait wait(cancel);
    ++g_waits;
    std::thread worker([&] {
        try {
            work(cancel);
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    // A quit of the whole application ends every loop at once; this one still waits for its
    // transfer, which owns nothing of the window's.
    while (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    --g_waits;
    const bool closed = wait.windowClosed();
    wait.release();
    if (g_waits == 0)
        emit notifier().idle();

    if (closed)
        throw RequestAbandoned(RequestAbandoned::Why::WindowClosed);
    if (failure)
        std::rethrow_exception(failure);
}

bool inFlight() {
    return g_waits > 0;
}

Notifier& notifier() {
    static Notifier* instance = new Notifier;
    return *instance;
}

}  // namespace request_wait
