#include "card/database_run.h"

#include <QMetaObject>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "card/card_access.h"

namespace card {
namespace {

constexpr std::chrono::milliseconds kProgressInterval{20};

}  // namespace

DatabaseRun::DatabaseRun(QObject* context, DatabaseSource source, DatabaseTarget target,
                         DatabaseSettings settings, ProgressHandler onProgress,
                         FinishHandler onFinished, CommitHandler onCommitted)
    : shared_(std::make_shared<Shared>()) {
    shared_->context = context;
    shared_->onProgress = std::move(onProgress);
    settings.control = &shared_->control;
    settings.cardClock = &shared_->control.clock();
    if (onCommitted) {
        settings.onCommitted = [shared = shared_, onCommitted] {
            // The bar's last report first: the success line follows a full bar.
            post(shared, onCommitted);
        };
    }
    const auto finish = [shared = shared_, onFinished](const DatabaseOutcome& outcome) {
        post(shared, [onFinished, outcome] { onFinished(outcome); });
        {
            std::lock_guard<std::mutex> lock(shared->finishedMutex);
            shared->finished = true;
        }
        shared->finishedChanged.notify_all();
    };
    try {
        std::thread([shared = shared_, source = std::move(source), target = std::move(target),
                     settings = std::move(settings), finish] {
            const CardThreadCount counted;
            std::chrono::steady_clock::time_point lastPost;
            const DatabaseOutcome outcome = downloadDatabase(
                source, target, settings,
                [&shared, &lastPost](std::int64_t received, std::int64_t total) {
                    // Each report wakes the window's thread; the eye needs no more than a few
                    // dozen a second, and a fast card lost time to thousands.
                    const auto now = std::chrono::steady_clock::now();
                    if (received != total && now - lastPost < kProgressInterval) {
                        shared->received = received;
                        shared->total = total;
                        return;
                    }
                    lastPost = now;
                    postProgress(shared, received, total);
                },
                shared->control.stopped());
            finish(outcome);
        }).detach();
    } catch (const std::system_error& e) {
        // No thread left for it: nothing was touched.
        DatabaseOutcome outcome;
        outcome.fault = platform::BodyFault::Storage;
        outcome.detail = QString::fromLocal8Bit(e.what());
        finish(outcome);
    }
}

void DatabaseRun::post(const std::shared_ptr<Shared>& shared, std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (QObject* context = shared->context.data())
        QMetaObject::invokeMethod(context, std::move(handler), Qt::QueuedConnection);
}

DatabaseRun::~DatabaseRun() {
    cancel();
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->context = nullptr;
}

void DatabaseRun::wait() {
    std::unique_lock<std::mutex> lock(shared_->finishedMutex);
    shared_->finishedChanged.wait(lock, [this] { return shared_->finished.load(); });
}

void DatabaseRun::postProgress(const std::shared_ptr<Shared>& shared, std::int64_t received,
                               std::int64_t total) {
    shared->received = received;
    shared->total = total;
    if (shared->progressPending.exchange(true))
        return;
    std::lock_guard<std::mutex> lock(shared->mutex);
    QObject* context = shared->context.data();
    if (!context) {
        shared->progressPending = false;
        return;
    }
    QMetaObject::invokeMethod(
        context,
        [shared] {
            shared->progressPending = false;
            if (shared->onProgress)
                shared->onProgress(shared->received, shared->total);
        },
        Qt::QueuedConnection);
}

}  // namespace card
