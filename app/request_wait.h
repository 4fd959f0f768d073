#pragma once

#include <QObject>
#include <atomic>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

// The action that sent a request ends where it is, with no effect and no box: the window was
// closed while the request was out, or another request was out already. The guard lets it
// pass silently.
class RequestAbandoned : public std::exception {
  public:
    enum class Why { WindowClosed, AnotherRequestOut };
    explicit RequestAbandoned(Why why) : why_(why) {}
    Why why() const { return why_; }
    const char* what() const noexcept override;

  private:
    Why why_;
};

// A request's transfer runs on a thread of its own while the window's thread waits for it in an
// event loop that paints and runs timers but takes no user input: the window never goes
// unanswered ("응답 없음"), yet the driver cannot start anything else meanwhile. After the wait
// the caller goes on exactly as after a blocking call.
//
// While a request is out:
// - input from the window system waits in its queue (QEventLoop::ExcludeUserInputEvents); input
//   sent to a window any other way is held and delivered after the wait, in order;
// - a window that has never been shown (one still being built, whose creation sends a request)
//   takes no event: they are delivered after the wait, in order;
// - a window's close is held too: the transfer is cancelled, the wait ends by throwing
//   RequestAbandoned, and the window is closed once the action has unwound;
// - a second request is refused with RequestAbandoned: nothing is sent.
namespace request_wait {

using Work = std::function<void(const std::atomic<bool>& cancel)>;

// Runs work off the window's thread and waits for it as above. What work throws is thrown
// here, unless a window was closed meanwhile (then RequestAbandoned).
void run(const Work& work);

template <typename Result>
Result run(const std::function<Result(const std::atomic<bool>& cancel)>& work) {
    std::optional<Result> result;
    run(Work([&](const std::atomic<bool>& cancel) { result.emplace(work(cancel)); }));
    return std::move(*result);
}

// A request is out: the window's thread is waiting for it.
bool inFlight();

// Tells when the last wait has ended. Lives on the window's thread.
class Notifier : public QObject {
    Q_OBJECT

  signals:
    void idle();
};
Notifier& notifier();

}  // namespace request_wait
