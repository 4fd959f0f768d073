#pragma once

#include <QChar>
#include <QList>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class QObject;

// The Windows drive poll, without the system: the calls it makes are handed in, so that its
// decisions are tested on every system. A worn card or a hung USB bridge can hold
// GetVolumeInformationW for many seconds; the poll never lets that reach the window nor the
// other drives.
namespace platform::win {

// GetDriveTypeW's answers for the drives that hold a volume worth asking for (DRIVE_REMOVABLE,
// DRIVE_FIXED); network and optical drives are never asked, since that can take seconds.
constexpr unsigned kDriveRemovable = 2;
constexpr unsigned kDriveFixed = 3;

// One logical drive as Windows reports it.
struct LogicalDrive {
    QChar letter;        // upper or lower case
    unsigned type = 0;   // GetDriveTypeW's answer: DRIVE_REMOVABLE, DRIVE_FIXED, ...
    QString fileSystem;  // "FAT32", "exFAT", "NTFS", ...; empty when there is no medium
    QString label;
    quint32 serial = 0;  // of the volume in it; 0 when empty
};

// What the drive watcher compares from one round to the next: the letters, their kinds and the
// serial number of the volume each removable or fixed drive holds (0 when empty), so that a
// card put into a reader whose letter stays counts as a change.
QList<quint64> driveSignature(const QList<LogicalDrive>& drives);

// The drive root ("x:\", lower case as the drive list spells it; "\\server\share\" for a
// share) of a folder as GetCurrentDirectoryW gives it, from the text alone: asking the system
// would touch the drive, which may be a card that has stopped answering. Empty when the text
// names no drive.
QString driveRootOfFolder(const QString& folder);

// Follows the drive letters in rounds. Each letter in use is asked on a thread of its own, and
// only once its last call has returned: a letter whose call hangs keeps the state it last
// answered with (a card that is slow to answer, e.g. while it is being written, is not taken
// for a pulled one), and is asked again once its call returns. Until a letter has answered it
// is not listed, or listed as an empty slot once its kind is known. A letter that leaves use
// is dropped at once, and what a call made before that answers is not used.
class DrivePoller {
  public:
    struct Volume {
        QString fileSystem;  // empty: no medium, or the volume could not be read
        QString label;
        quint32 serial = 0;
    };
    // The system's calls. lettersInUse runs on the thread that polls; the others on the
    // letter's own thread, where they may hang.
    struct System {
        std::function<quint32()> lettersInUse;  // bit 0 for A:, bit 25 for Z:
        std::function<unsigned(QChar letter)> typeOf;
        std::function<Volume(QChar letter)> volumeOf;  // removable and fixed drives only
    };

    explicit DrivePoller(System system);
    // Stops the rounds; never waits for a letter's call.
    ~DrivePoller();
    DrivePoller(const DrivePoller&) = delete;
    DrivePoller& operator=(const DrivePoller&) = delete;

    // Rounds every interval on a thread of the poller's own, the first at once.
    void start(std::chrono::milliseconds interval);
    // One round from the calling thread: asks every letter in use whose last call has
    // returned, and waits for none.
    void poll();
    // The letters in use as they last answered, in letter order.
    QList<LogicalDrive> drives() const;
    // Waits until a round has run and every letter in use has answered since it came into
    // use; false after timeout.
    bool waitUntilAnswered(std::chrono::milliseconds timeout) const;
    // Calls onChange from the calling thread's event loop whenever the signature of drives()
    // has changed from what this watcher last saw, until the returned object is destroyed.
    std::unique_ptr<QObject> watch(std::function<void()> onChange);

    // Waits up to timeout until the letters' calls of every poller have returned; true when
    // none is out. A poller that has gone starts no call on a letter.
    static bool waitForCalls(std::chrono::milliseconds timeout);
    // For the program's end: no poller asks a letter again, so that none is out once
    // waitForCalls() has said so (the calls reach the platform layer, which is going).
    static void stopAll();

  private:
    struct Core;
    class Watch;

    std::shared_ptr<Core> core_;
    std::thread rounds_;
};

}  // namespace platform::win
