#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform {

// The kinds of call a card takes, as a test that holds one back names them.
enum class CardCall {
    Look,   // opening the card folder, looking at what has a name, its room
    Read,   // reading a file, or reading one back
    Write,  // creating, writing, flushing, renaming or removing a file
    Flush,  // writing out the whole volume
};

// When the card call now running began, shared by the thread that makes the calls and the
// window that watches for a card that has stopped answering (a worn card, a loose reader or
// a hung USB bridge can hold a call for many seconds, or until the card is pulled).
class CardCallClock {
  public:
    void begin() noexcept;
    void end() noexcept;
    // How long the call now running has taken; zero when none runs.
    std::chrono::milliseconds running() const noexcept;
    // True once for each call that has run longer than threshold.
    bool newlyStalled(std::chrono::milliseconds threshold) noexcept;

  private:
    std::atomic<int> depth_{0};
    std::atomic<std::int64_t> since_{0};  // steady clock, nanoseconds; 0 while none runs
    std::atomic<std::int64_t> reported_{0};
};

// One call on a card: timed by the clock (when there is one) and offered to the platform's
// hook first, through which a test makes a card stop answering.
class CardCallScope {
  public:
    CardCallScope(CardCallClock* clock, CardCall call, const QString& where);
    ~CardCallScope();
    CardCallScope(const CardCallScope&) = delete;
    CardCallScope& operator=(const CardCallScope&) = delete;

  private:
    CardCallClock* clock_;
};

}  // namespace platform
