#pragma once

#include <QLockFile>
#include <QObject>
#include <functional>
#include <memory>

namespace platform {

// One running copy of the program per user: a later start asks the running copy to bring its
// window forward and ends. The lock sits in the user's config folder; a lock whose process is
// gone does not count.
class SingleInstance {
  public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another copy of this user runs; it has then been asked to come forward.
    // Needs the QApplication; onCall runs on its thread whenever a later start asks.
    bool claim(std::function<void()> onCall);

    // Lets the claim go at once, while the process may still be kept by the system: the next
    // start runs as if this copy had ended.
    void release();

    // The lock file: in the user's config folder, named for this computer.
    static QString lockPath();

  private:
    // Set up before the lock is taken: a later start may ask at once.
    void listen();
    static void askToComeForward(qint64 pid);

    std::function<void()> onCall_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QObject> listener_;
#ifdef _WIN32
    void* programMutex_ = nullptr;
    void* folderMutex_ = nullptr;
#endif
};

}  // namespace platform
