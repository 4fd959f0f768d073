#include "platform/card_calls.h"

#include "platform/platform.h"

#include <algorithm>

namespace platform {
namespace {

std::int64_t nowNs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Never 0, which means "none runs".
    return std::max<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                                  1);
}

}  // namespace

void CardCallClock::begin() noexcept {
    if (depth_.fetch_add(1) == 0)
        since_ = nowNs();
}

void CardCallClock::end() noexcept {
    if (depth_.fetch_sub(1) == 1)
        since_ = 0;
}

std::chrono::milliseconds CardCallClock::running() const noexcept {
    const std::int64_t since = since_;
    if (since == 0)
        return std::chrono::milliseconds{0};
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::nanoseconds{nowNs() - since});
}

bool CardCallClock::newlyStalled(std::chrono::milliseconds threshold) noexcept {
    const std::int64_t since = since_;
    if (since == 0 || since == reported_)
        return false;
    if (std::chrono::nanoseconds{nowNs() - since} < threshold)
        return false;
    reported_ = since;
    return true;
}

CardCallScope::CardCallScope(CardCallClock* clock, CardCall call, const QString& where)
    : clock_(clock) {
    if (clock_)
        clock_->begin();
    if (Platform* platform = installed())
        platform->beforeCardCall(call, where);
}

CardCallScope::~CardCallScope() {
    if (clock_)
        clock_->end();
}

}  // namespace platform
