#include "card/card_phase.h"

namespace card {

CardPhase DownloadControl::phase() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return phase_;
}

void DownloadControl::enter(CardPhase phase) {
    const std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase;
}

bool DownloadControl::beginCommit() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!untouched(phase_))
        return true;  // a later step of a commit already under way: never left half done
    released_.wait(lock, [this] { return !held_ || stopped_; });
    if (stopped_)
        return false;
    phase_ = CardPhase::Committing;
    return true;
}

bool DownloadControl::holdCommit() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!untouched(phase_))
        return false;
    held_ = true;
    return true;
}

void DownloadControl::releaseCommit() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
    }
    released_.notify_all();
}

void DownloadControl::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    released_.notify_all();
}

}  // namespace card
