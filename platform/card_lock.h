#pragma once

#include <memory>

namespace platform {

class FolderHandle;

// Keeps a second program (of any user) from writing into the same card folder while a
// download replaces its files. Writes nothing onto the card; the system drops the lock when
// the process ends, however it ends. Not tied to a thread: taken on the download's worker, it
// is let go on the thread that writes the card info file afterwards.
class CardLock {
  public:
    // Nothing when another program holds the folder now; never waits.
    static std::shared_ptr<CardLock> take(const FolderHandle& folder);
    ~CardLock();
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

  private:
    CardLock() = default;
#ifdef _WIN32
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace platform
