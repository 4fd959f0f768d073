#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Calls on cards, off the window's thread. A worn card, a loose reader or a hung USB bridge
// can hold a call for many seconds, or until the card is pulled; the window must not wait for
// it. Needs no window.
namespace card {

// A card as the drive list shows it: the drive's root and the volume in it then.
struct CardKey {
    QString root;
    quint64 identity = 0;

    bool isNull() const { return root.isEmpty(); }
    bool operator==(const CardKey& other) const {
        return root == other.root && identity == other.identity;
    }
    bool operator!=(const CardKey& other) const { return !(*this == other); }
};

inline size_t qHash(const CardKey& key, size_t seed = 0) {
    return ::qHash(key.root, seed) ^ ::qHash(key.identity, seed);
}

// Each call runs on a thread of its own. One call at a time per card: while a call has not
// returned its card takes no other, so a card that has stopped answering holds up nothing but
// itself. A call that ends within the grace is handed back before start() returns, as if it had
// been made in place (a card that answers is read before the window takes its next input); a
// later one is handed to the owner's thread, never after the owner is gone. Nothing ever waits
// for a call that has not returned: its thread ends with the call.
class CardAccess {
  public:
    enum class Kind { Read, Rewrite, Download };
    // Runs on the owner's thread with a call's result.
    using Apply = std::function<void()>;
    // Runs on the call's own thread; what it returns runs on the owner's.
    using Job = std::function<Apply()>;
    // Runs what is handed back later, e.g. inside the program's error guard.
    using Guard = std::function<void(const std::function<void()>&)>;

    CardAccess(QObject* owner, Guard guard);
    ~CardAccess();
    CardAccess(const CardAccess&) = delete;
    CardAccess& operator=(const CardAccess&) = delete;

    // Starts job on card. False, and nothing is started, while a call of the card has not
    // returned. An exception the job lets out is thrown again on the owner's thread.
    bool start(const CardKey& card, Kind kind, Job job);
    // Marks card as taken by a call that runs on a thread of its own making (a download): no
    // other call starts on it until release(). False while the card is busy.
    bool claim(const CardKey& card, Kind kind);
    void release(const CardKey& card);
    // The kind of the card's call that has not returned yet, if any.
    std::optional<Kind> outstanding(const CardKey& card) const;
    bool anyOutstanding() const { return !calls_.isEmpty(); }
    // The cards whose call has run longer than threshold, each once per call; a claimed card's
    // own worker keeps its own clock.
    QList<CardKey> newlyStalled(std::chrono::milliseconds threshold);
    // Called on the owner's thread soon after any call of a card has been handed back.
    void setOnReturned(std::function<void(const CardKey&)> onReturned) {
        onReturned_ = std::move(onReturned);
    }

    // How long start() waits for a call before handing it to the owner's thread later.
    static constexpr std::chrono::milliseconds kGrace{50};
    std::chrono::milliseconds grace{kGrace};

    // The threads of card calls (and database downloads) that have not ended yet.
    static int threadsRunning();
    // Waits up to timeout for them to end; true when none runs.
    static bool waitForThreads(std::chrono::milliseconds timeout);

  private:
    struct Call;
    struct Owner;
    struct Entry {
        Kind kind;
        std::shared_ptr<Call> call;
        std::chrono::steady_clock::time_point started;
        bool stallReported = false;
    };

    void startThread(const CardKey& card, const std::shared_ptr<Call>& call, Job job);
    // Hands the call back in place when it ends within the grace.
    void finishInPlace(const CardKey& card, const std::shared_ptr<Call>& call);
    void handBack(const CardKey& card, const std::shared_ptr<Call>& call);
    void tellReturned(const CardKey& card);

    std::shared_ptr<Owner> owner_;
    Guard guard_;
    QHash<CardKey, Entry> calls_;
    std::function<void(const CardKey&)> onReturned_;
};

// Counts a thread that works on a card for as long as it lives.
class CardThreadCount {
  public:
    CardThreadCount();
    ~CardThreadCount();
    CardThreadCount(const CardThreadCount&) = delete;
    CardThreadCount& operator=(const CardThreadCount&) = delete;
};

}  // namespace card
