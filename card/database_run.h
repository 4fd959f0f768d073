#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "card/database_download.h"

namespace card {

// One database download on a worker thread, so that the window keeps painting and answering
// while the file arrives. Progress and the outcome are handed to the context object's thread
// (the window's); nothing reaches a context that is gone. Destroying the run stops the
// download and waits for it.
class DatabaseRun {
  public:
    using ProgressHandler = std::function<void(std::int64_t received, std::int64_t total)>;
    using FinishHandler = std::function<void(const DatabaseOutcome& outcome)>;

    DatabaseRun(QObject* context, DatabaseSource source, DatabaseTarget target,
                DatabaseSettings settings, ProgressHandler onProgress, FinishHandler onFinished);
    ~DatabaseRun();
    DatabaseRun(const DatabaseRun&) = delete;
    DatabaseRun& operator=(const DatabaseRun&) = delete;

    // Asks the download to stop; its outcome is then Cancelled (or what it had come to).
    void cancel() { shared_->cancel = true; }
    // Waits until the worker has finished; its outcome is still handed over afterwards.
    void wait();
    bool finished() const { return shared_->finished; }

  private:
    // What the worker and the reports already posted share; it outlives the run.
    struct Shared {
        QPointer<QObject> context;
        ProgressHandler onProgress;
        std::atomic<bool> cancel{false};
        std::atomic<bool> finished{false};
        // One progress report waits at a time; it shows the newest figures when handled.
        std::atomic<bool> progressPending{false};
        std::atomic<std::int64_t> received{0};
        std::atomic<std::int64_t> total{-1};
    };
    static void postProgress(const std::shared_ptr<Shared>& shared, std::int64_t received,
                             std::int64_t total);

    std::shared_ptr<Shared> shared_;
    std::thread worker_;
};

}  // namespace card
