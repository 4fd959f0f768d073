#pragma once

#include <QString>
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
    // Said by a process the system keeps after its end for a stuck call: every card it still
    // holds is marked as held by a copy of this program that is finishing, until it is gone.
    static void markHoldersEnding();
    // Whether the folder's holder is such a copy (rather than another program or another
    // user's copy at work).
    static bool heldByEndingCopy(const FolderHandle& folder);
    ~CardLock();
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

  private:
    CardLock() = default;
    // The folder's name among the locks: the same for every program that opens it.
    static QString identity(const FolderHandle& folder);
    QString identity_;
#ifdef _WIN32
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace platform
