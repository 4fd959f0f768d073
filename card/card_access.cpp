#include "card/card_access.h"

#include "base/errors.h"

#include <QMetaObject>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace card {
namespace {

std::mutex g_threadsMutex;
std::condition_variable g_threadsEnded;
int g_threads = 0;

}  // namespace

CardThreadCount::CardThreadCount() {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    ++g_threads;
}

CardThreadCount::~CardThreadCount() {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    if (--g_threads == 0)
        g_threadsEnded.notify_all();
}

int CardAccess::threadsRunning() {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    return g_threads;
}

bool CardAccess::waitForThreads(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(g_threadsMutex);
    return g_threadsEnded.wait_for(lock, timeout, [] { return g_threads == 0; });
}

// A call's result, shared by its thread and the owner.
struct CardAccess::Call {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    Apply apply;
};

// The owner as the calls' threads see it: gone once the CardAccess is destroyed.
struct CardAccess::Owner {
    std::mutex mutex;
    QPointer<QObject> object;
    CardAccess* access = nullptr;
};

CardAccess::CardAccess(QObject* owner, Guard guard)
    : owner_(std::make_shared<Owner>()), guard_(std::move(guard)) {
    owner_->object = owner;
    owner_->access = this;
}

CardAccess::~CardAccess() {
    std::lock_guard<std::mutex> lock(owner_->mutex);
    owner_->access = nullptr;
}

bool CardAccess::start(const CardKey& card, Kind kind, Job job) {
    if (calls_.contains(card))
        return false;
    auto call = std::make_shared<Call>();
    calls_.insert(card, Entry{kind, call, std::chrono::steady_clock::now()});
    try {
        startThread(card, call, std::move(job));
    } catch (const std::system_error& e) {
        // Nothing ran: the card is free again, and the caller hears why.
        calls_.remove(card);
        throw AppError(QString::fromLocal8Bit(e.what()));
    }
    finishInPlace(card, call);
    return true;
}

void CardAccess::startThread(const CardKey& card, const std::shared_ptr<Call>& call, Job job) {
    std::thread([owner = owner_, call, card, job = std::move(job)] {
        const CardThreadCount counted;
        Apply apply;
        try {
            apply = job();
        } catch (...) {
            apply = [error = std::current_exception()] { std::rethrow_exception(error); };
        }
        {
            std::lock_guard<std::mutex> lock(call->mutex);
            call->apply = std::move(apply);
            call->done = true;
        }
        call->ended.notify_all();
        std::lock_guard<std::mutex> lock(owner->mutex);
        if (owner->access && owner->object) {
            QMetaObject::invokeMethod(
                owner->object.data(),
                [owner, card, call] {
                    if (owner->access)
                        owner->access->handBack(card, call);
                },
                Qt::QueuedConnection);
        }
    }).detach();
}

void CardAccess::finishInPlace(const CardKey& card, const std::shared_ptr<Call>& call) {
    bool done = false;
    {
        std::unique_lock<std::mutex> lock(call->mutex);
        done = call->ended.wait_for(lock, grace, [&call] { return call->done; });
    }
    if (done) {
        // Handed back here, so errors reach the caller as if the call had been made in place.
        const auto entry = calls_.constFind(card);
        if (entry != calls_.cend() && entry->call == call) {
            calls_.remove(card);
            tellReturned(card);
            Apply apply = std::move(call->apply);
            if (apply)
                apply();
        }
    }
}

bool CardAccess::claim(const CardKey& card, Kind kind) {
    if (calls_.contains(card))
        return false;
    calls_.insert(card, Entry{kind, nullptr, std::chrono::steady_clock::now()});
    return true;
}

void CardAccess::release(const CardKey& card) {
    const auto entry = calls_.constFind(card);
    if (entry == calls_.cend() || entry->call)
        return;
    calls_.remove(card);
    tellReturned(card);
}

void CardAccess::handBack(const CardKey& card, const std::shared_ptr<Call>& call) {
    const auto entry = calls_.constFind(card);
    if (entry == calls_.cend() || entry->call != call)
        return;  // already handed back in start()
    calls_.remove(card);
    tellReturned(card);
    Apply apply = std::move(call->apply);
    if (apply)
        guard_(apply);
}

void CardAccess::tellReturned(const CardKey& card) {
    // After the result has been applied, whatever it throws.
    QObject* object = owner_->object.data();
    if (!onReturned_ || !object)
        return;
    QMetaObject::invokeMethod(
        object,
        [owner = owner_, card] {
            if (owner->access && owner->access->onReturned_)
                owner->access->guard_([&] { owner->access->onReturned_(card); });
        },
        Qt::QueuedConnection);
}

std::optional<CardAccess::Kind> CardAccess::outstanding(const CardKey& card) const {
    const auto entry = calls_.constFind(card);
    if (entry == calls_.cend())
        return std::nullopt;
    return entry->kind;
}

QList<CardKey> CardAccess::newlyStalled(std::chrono::milliseconds threshold) {
    QList<CardKey> stalled;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = calls_.begin(); it != calls_.end(); ++it) {
        if (it->call && !it->stallReported && now - it->started >= threshold) {
            it->stallReported = true;
            stalled.append(it.key());
        }
    }
    return stalled;
}

}  // namespace card
