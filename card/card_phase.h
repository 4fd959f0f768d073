#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/card_calls.h"

namespace card {

// Where a card is in its life, as far as this program is concerned. Every decision about the
// card (what closing does, what a stall line says, how long an exit waits) takes it.
enum class CardPhase {
    Idle,        // nothing of ours runs on it
    Reading,     // its card info file is being read
    Fetching,    // a database is on its way; nothing on the card has changed yet
    Committing,  // the old database is being replaced: removed, or renamed over
    Rewriting,   // the new database is in place; backbbinfo.cfg is being rewritten
};

// Nothing on the card has changed yet: stopping now leaves it as it was.
inline bool untouched(CardPhase phase) {
    return phase == CardPhase::Idle || phase == CardPhase::Reading || phase == CardPhase::Fetching;
}

// What the window and a download's worker share: the phase, the driver's choice to stop, and a
// hold on the commit while the driver is asked whether to stop. The worker never changes the
// card's database while the commit is held, and never once it has been stopped.
class DownloadControl {
  public:
    CardPhase phase() const;
    // The worker moves on to phase (never back into Fetching once committing).
    void enter(CardPhase phase);
    // The worker, just before the first change to the card's database: waits while the commit
    // is held, then either becomes Committing (true) or, stopped, changes nothing (false).
    bool beginCommit();
    // Holds the commit while the driver is asked; false when it has already begun.
    bool holdCommit();
    void releaseCommit();
    // Stops the download: before the commit it changes nothing more on the card.
    void stop();
    const std::atomic<bool>& stopped() const { return stopped_; }
    // The worker's calls on the card.
    platform::CardCallClock& clock() { return clock_; }

  private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    CardPhase phase_ = CardPhase::Fetching;
    bool held_ = false;
    std::atomic<bool> stopped_{false};
    platform::CardCallClock clock_;
};

}  // namespace card
