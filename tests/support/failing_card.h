#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QtGlobal>

// A card that fails on command: a folder served through the failing_card_fs FUSE tool at a
// mount point of its own, switched between answering, answering slowly, not answering,
// failing and being gone. The controller talks to the tool's process and never touches the
// mount, so it keeps working while a thread (or a process) of the test is stuck on the card.
// Every wait is bounded; the destructor releases every held call, unmounts and ends the
// tool, by force when it must.
//
//     if (auto why = FailingCard::unavailableReason(); !why.isEmpty())
//         GTEST_SKIP() << why.toStdString();
//     FailingCard card(backing.path());
//     ASSERT_TRUE(card.isMounted());
class FailingCard {
  public:
    // Why no card can be mounted here (not root, no /dev/fuse, built without libfuse3);
    // empty when one can.
    static QString unavailableReason();
    // Whether a failing card is mounted at mountPoint now (from the mount table alone).
    static bool isMountedAt(const QString& mountPoint);

    // Mounts backingFolder at a new empty folder; a failure is reported to the running test.
    // The tool quits when the thread that made the card ends: make it on the test's thread.
    explicit FailingCard(const QString& backingFolder);
    ~FailingCard();
    FailingCard(const FailingCard&) = delete;
    FailingCard& operator=(const FailingCard&) = delete;

    // True once mounted; stays true after the connection is aborted.
    bool isMounted() const { return connection_ >= 0; }
    QString mountPoint() const { return mountPoint_; }
    // N of /sys/fs/fuse/connections/N; -1 when not mounted.
    int connectionNumber() const { return connection_; }

    // Each returns once the tool has applied it; false, and a test failure, when it has not.
    bool normal();
    bool slow(int ms);  // every call waits ms first
    // Every call (also one waiting in slow) is held until release or another mode; those
    // held then go on in that mode.
    bool hang();
    bool release();  // back to normal; held calls go on
    bool eio();      // every call fails with EIO: a worn card
    // Writes pass until bytes more are written, then every write fails with error (EIO or
    // ENOSPC); other calls answer normally.
    bool failWritesAfter(qint64 bytes, int error);
    bool gone();  // every call fails with ENOTCONN: a pulled card

    // The number of calls held by hang now (so a test knows its call has reached the card);
    // -1 and a test failure when the tool does not answer.
    int waiting();
    // Until at least calls are held, for at most ms; no test failure when they are not.
    bool waitUntilWaiting(int calls, int ms);
    // Aborts the connection (/sys/fs/fuse/connections/N/abort), as a dead USB bridge ends it:
    // a held call fails with ECONNABORTED (ENOTCONN when the kernel makes it again, as a
    // stat does), later calls with ENOTCONN; the tool ends and unmounts by itself.
    bool abortConnection();

  private:
    QByteArray readLine(int ms);
    QByteArray ask(const QByteArray& command, int ms);
    bool command(const QByteArray& line);
    void tearDown();

    QProcess tool_;
    QString mountPoint_;
    int connection_ = -1;
};
