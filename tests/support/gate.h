#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Holds a server's handler until the test has seen what it wanted (or a long bound passes),
// so that a silent server needs no sleeping and the test ends as soon as it is done.
class Gate {
  public:
    ~Gate() { open(); }

    void wait(std::chrono::milliseconds bound = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait_for(lock, bound, [this] { return open_; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};
