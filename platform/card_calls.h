#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace platform {

// The kinds of call a card takes, as a test that holds one back names them.
enum class CardCall {
    Look,   // opening the card folder, looking at what has a name, its room
    Read,   // reading a file, or reading one back
    Write,  // creating, writing, flushing, renaming or removing a file
    Flush,  // writing out the whole volume
};

// The slowest card that still counts as answering: a worn card in a USB 1.1 reader moves a
// little more than this. A call is given the stall threshold plus its bytes at this pace, so
// that a slow card writing a large piece is never taken for one that has stopped.
inline constexpr std::int64_t kSlowestCardBytesPerSecond = 64 * 1024;

// The most one call on a card moves: a slow card (0.3 MB/s) finishes it well within the stall
// threshold, so only a card that has really stopped is said to.
inline constexpr std::int64_t kCardStepBytes = 256 * 1024;

// How long a call moving bytes may take before the card counts as not answering.
std::chrono::milliseconds allowanceFor(std::chrono::milliseconds threshold, std::int64_t bytes);

// When the card call now running began and how many bytes it moves, shared by the thread that
// makes the calls and the window that watches for a card that has stopped answering (a worn
// card, a loose reader or a hung USB bridge can hold a call for many seconds, or until the
// card is pulled).
class CardCallClock {
  public:
    void begin(std::int64_t bytes = 0) noexcept;
    void end() noexcept;
    // How long the call now running has taken; zero when none runs.
    std::chrono::milliseconds running() const noexcept;
    // True once per stall: a call has run past its allowance, and no call has ended within its
    // own since the last time this said so.
    bool newlyStalled(std::chrono::milliseconds threshold) noexcept;

  private:
    using Clock = std::chrono::steady_clock;
    mutable std::mutex mutex_;
    int depth_ = 0;
    Clock::time_point since_{};
    std::int64_t bytes_ = 0;
    std::chrono::milliseconds threshold_{0};  // the last one asked about; 0 before
    bool reported_ = false;
};

// One call on a card: timed by the clock (when there is one) and offered to the platform's
// hook first, through which a test makes a card stop answering.
class CardCallScope {
  public:
    CardCallScope(CardCallClock* clock, CardCall call, const QString& where,
                  std::int64_t bytes = 0);
    ~CardCallScope();
    CardCallScope(const CardCallScope&) = delete;
    CardCallScope& operator=(const CardCallScope&) = delete;

  private:
    CardCallClock* clock_;
};

}  // namespace platform
