#include "platform/card_calls.h"

#include "platform/platform.h"

#include <algorithm>

namespace platform {

std::chrono::milliseconds allowanceFor(std::chrono::milliseconds threshold, std::int64_t bytes) {
    return threshold + std::chrono::milliseconds{std::max<std::int64_t>(bytes, 0) * 1000 /
                                                 kSlowestCardBytesPerSecond};
}

void CardCallClock::begin(std::int64_t bytes) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (depth_++ == 0) {
        since_ = Clock::now();
        bytes_ = bytes;
    } else {
        bytes_ = std::max(bytes_, bytes);
    }
}

void CardCallClock::end() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (depth_ == 0 || --depth_ > 0)
        return;
    // A call that came back in time: the card answers again, and a later stall is a new one.
    if (threshold_.count() > 0 && Clock::now() - since_ < allowanceFor(threshold_, bytes_))
        reported_ = false;
}

std::chrono::milliseconds CardCallClock::running() const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (depth_ == 0)
        return std::chrono::milliseconds{0};
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since_);
}

bool CardCallClock::newlyStalled(std::chrono::milliseconds threshold) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    threshold_ = threshold;
    if (depth_ == 0 || reported_ || Clock::now() - since_ < allowanceFor(threshold, bytes_))
        return false;
    reported_ = true;
    return true;
}

CardCallScope::CardCallScope(CardCallClock* clock, CardCall call, const QString& where,
                             std::int64_t bytes)
    : clock_(clock) {
    if (clock_)
        clock_->begin(bytes);
    if (Platform* platform = installed())
        platform->beforeCardCall(call, where);
}

CardCallScope::~CardCallScope() {
    if (clock_)
        clock_->end();
}

}  // namespace platform
