#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "card/database_download.h"
#include "platform/card_calls.h"

namespace card {

// One database download on a worker thread, so that the window keeps painting and answering
// while the file arrives. Progress and the outcome are handed to the context object's thread
// (the window's); nothing reaches a context that is gone, nor a run that was let go.
// Destroying the run stops the download without waiting for it: a card that has stopped
// answering may hold the worker's call until the card is pulled, and the window must not wait
// for that. The worker then ends on its own, leaving the old database as it was.
class DatabaseRun {
  public:
    using ProgressHandler = std::function<void(std::int64_t received, std::int64_t total)>;
    using FinishHandler = std::function<void(const DatabaseOutcome& outcome)>;
    using CommitHandler = std::function<void()>;

    // onCommitted, when given, is handed over the moment the new database is in place, before
    // backbbinfo.cfg is rewritten. A worker that cannot be started finishes at once with a
    // Storage outcome, handed over like any other.
    DatabaseRun(QObject* context, DatabaseSource source, DatabaseTarget target,
                DatabaseSettings settings, ProgressHandler onProgress, FinishHandler onFinished,
                CommitHandler onCommitted = {});
    ~DatabaseRun();
    DatabaseRun(const DatabaseRun&) = delete;
    DatabaseRun& operator=(const DatabaseRun&) = delete;

    // Asks the download to stop; its outcome is then Cancelled (or what it had come to). Once
    // the commit has begun it is carried to its end.
    void cancel() { shared_->control.stop(); }
    // Waits until the worker has finished; its outcome is still handed over afterwards.
    void wait();
    bool finished() const { return shared_->finished; }
    // The worker's calls on the card, for telling a card that has stopped answering.
    platform::CardCallClock& cardCalls() { return shared_->control.clock(); }
    // The phase, and the hold on the commit while the driver is asked whether to stop.
    DownloadControl& control() { return shared_->control; }

  private:
    // What the worker and the reports already posted share; it outlives the run.
    struct Shared {
        std::mutex mutex;  // guards context against the run being let go
        QPointer<QObject> context;
        ProgressHandler onProgress;
        DownloadControl control;
        std::atomic<bool> finished{false};
        std::mutex finishedMutex;
        std::condition_variable finishedChanged;
        // One progress report waits at a time; it shows the newest figures when handled.
        std::atomic<bool> progressPending{false};
        std::atomic<std::int64_t> received{0};
        std::atomic<std::int64_t> total{-1};
    };
    static void post(const std::shared_ptr<Shared>& shared, std::function<void()> handler);
    static void postProgress(const std::shared_ptr<Shared>& shared, std::int64_t received,
                             std::int64_t total);

    std::shared_ptr<Shared> shared_;
};

}  // namespace card
