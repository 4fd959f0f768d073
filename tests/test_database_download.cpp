// The database's way onto the card without the window: a card that is nearly full, links and
// pipes planted on the card, a copy kept on the computer, and what the card gives back.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iostream>
#include <string>
#include <thread>

#include "base/errors.h"
#include "card/card_info.h"
#include "card/database_download.h"
#include "platform/folder_handle.h"
#include "platform/replacing_file.h"
#include "support/files.h"
#include "support/test_server.h"

void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

using platform::BodyFault;

QByteArray pattern(qint64 size, char seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 31 + (i >> 12));
    return bytes;
}

QString hexSha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QStringList entries(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                               QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

class DatabaseDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        card = cardDir.path() + QLatin1Char('/');
        staging = computer.path() + QStringLiteral("/cache/");
    }
    void publish(const QByteArray& bytes) {
        server.serveFile("/files/db/rp_v3.idb", bytes.toStdString());
        server.start();
        source = card::DatabaseSource{
            server.url("/files/db/rp_v3.idb"), "/files/db/",    "rp_v3.idb", "3.0",
            QString::number(bytes.size()),     hexSha256(bytes)};
    }
    // As the window has it once the card info is written: the card is free again.
    card::DatabaseOutcome run(const QString& folder = {},
                              const card::DatabaseProgress& progress = {}) {
        card::DatabaseOutcome outcome = runHoldingTheCard(folder, progress);
        outcome.cardLock.reset();
        return outcome;
    }
    card::DatabaseOutcome runHoldingTheCard(const QString& folder = {},
                                            const card::DatabaseProgress& progress = {}) {
        return card::downloadDatabase(source, card::DatabaseTarget{card, folder},
                                      card::DatabaseSettings{{5000, 30000, 0}, staging}, progress,
                                      cancel);
    }
    int fileRequests() const {
        int n = 0;
        for (const auto& r : server.requests())
            n += r.path.rfind("/files/", 0) == 0;
        return n;
    }

    QTemporaryDir cardDir;
    QTemporaryDir computer;
    QString card;
    QString staging;
    TestServer server;
    card::DatabaseSource source;
    std::atomic<bool> cancel{false};
};

// The other program in the test below: this test binary again, started with the card folder.
TEST(CardLockHolder, HoldsTheFolderGivenOnTheCommandLine) {
    const QString prefix = QStringLiteral("--hold-card=");
    QString folder;
    for (const QString& argument : QCoreApplication::arguments()) {
        if (argument.startsWith(prefix))
            folder = argument.mid(prefix.size());
    }
    if (folder.isEmpty())
        GTEST_SKIP() << "only run by CardLock tests";
    const platform::FolderHandle handle = platform::FolderHandle::open(folder);
    const std::shared_ptr<platform::CardLock> lock = platform::CardLock::take(handle);
    ASSERT_TRUE(lock);
    std::cout << "held" << std::endl;
    std::string line;
    std::getline(std::cin, line);  // until killed
}

// A second program writing into the same card folder is refused before it touches the card,
// and the lock goes with its holder.
TEST_F(DatabaseDownload, SecondProgramOnTheSameCardFolderIsRefused) {
    writeFile(card + "rp_cam.idb", "old");
    writeFile(card + "rp_cam.idb.part", "left over");
    const QByteArray fresh = pattern(100 * 1024, 'c');
    publish(fresh);

    QProcess holder;
    holder.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=CardLockHolder.*"), QStringLiteral("--hold-card=") + card});
    ASSERT_TRUE(holder.waitForStarted(10000));
    for (QByteArray line; line != "held";) {
        while (!holder.canReadLine())
            ASSERT_TRUE(holder.waitForReadyRead(30000)) << holder.readAll().constData();
        line = holder.readLine().trimmed();
    }

    const card::DatabaseOutcome refused = run();
    EXPECT_EQ(refused.fault, BodyFault::CardBusy);
    EXPECT_FALSE(card::failureReason(refused).isEmpty());
    EXPECT_EQ(readAll(card + "rp_cam.idb"), QByteArray("old"));
    EXPECT_EQ(readAll(card + "rp_cam.idb.part"), QByteArray("left over"));
    EXPECT_EQ(fileRequests(), 0);

    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(10000));
    card::DatabaseOutcome outcome = runHoldingTheCard();
    ASSERT_TRUE(outcome.ok()) << card::failureReason(outcome).toStdString();
    EXPECT_TRUE(readAll(card + "rp_cam.idb") == fresh);
    // The card info is written after the download: the outcome still holds the card.
    EXPECT_FALSE(platform::CardLock::take(platform::FolderHandle::open(card)));
    outcome.cardLock.reset();
    EXPECT_TRUE(platform::CardLock::take(platform::FolderHandle::open(card)));
}

TEST_F(DatabaseDownload, RoomBesideTheOldFileReplacesItInPlace) {
    writeFile(card + "rp_cam.idb", "old");
    const QByteArray fresh = pattern(3 * 1024 * 1024 + 5, 'a');
    publish(fresh);
    std::int64_t lastTotal = 0;
    const card::DatabaseOutcome outcome =
        run({}, [&](std::int64_t, std::int64_t total) { lastTotal = total; });
    ASSERT_TRUE(outcome.ok()) << card::failureReason(outcome).toStdString();
    EXPECT_TRUE(readAll(card + "rp_cam.idb") == fresh);
    EXPECT_EQ(lastTotal, fresh.size());
    EXPECT_EQ(entries(card), QStringList{"rp_cam.idb"});
    EXPECT_FALSE(QFile::exists(staging + "rp_cam.idb"));
}

#ifndef _WIN32
// The cases up to the read-back one make a small mounted card, POSIX links and a pipe; the
// Windows platform tests (tests/windows/) plant Windows links instead.

// --- a nearly full card, on a small file system of its own (needs the right to mount)

class NearlyFullCard : public DatabaseDownload {
  protected:
    void SetUp() override {
        DatabaseDownload::SetUp();
        if (::geteuid() != 0 || ::mount("tmpfs", QFile::encodeName(cardDir.path()).constData(),
                                        "tmpfs", 0, "size=8m") != 0)
            GTEST_SKIP() << "a small card needs the right to mount a tmpfs";
        mounted = true;
        // Loop recording fills the card: the old database and recordings leave ~1.5 MiB.
        writeFile(card + "rp_cam.idb", pattern(3 * 1024 * 1024, 'o'));
        writeFile(card + "REC_0001.avi", pattern(3 * 1024 * 1024 + 512 * 1024, 'r'));
        writeFile(card + "backbbinfo.cfg", "card info\r\n");
    }
    void TearDown() override {
        if (mounted)
            ::umount2(QFile::encodeName(cardDir.path()).constData(), MNT_DETACH);
    }
    // Once the checked file has arrived and its copy onto the card has begun (the count
    // reaches the total a second time), a recording takes the room that is left.
    card::DatabaseProgress fillCardOnceCopyingBegins() {
        return [this, atTotal = 0](std::int64_t done, std::int64_t total) mutable {
            if (done != total || ++atTotal != 2)
                return;
            QFile filler(card + "REC_0002.avi");
            if (!filler.open(QIODevice::WriteOnly))
                return;
            const QByteArray block(64 * 1024, 'f');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
        };
    }
    bool mounted = false;
};

TEST_F(NearlyFullCard, NewFileWithRoomOnlyInPlaceOfTheOldIsCheckedOnTheComputerFirst) {
    const QByteArray fresh = pattern(3 * 1024 * 1024 + 256 * 1024, 'n');
    publish(fresh);
    const card::DatabaseOutcome outcome = run();
    ASSERT_TRUE(outcome.ok()) << card::failureReason(outcome).toStdString() << " "
                              << outcome.detail.toStdString();
    EXPECT_TRUE(readAll(card + "rp_cam.idb") == fresh);
    EXPECT_TRUE(readAll(card + "REC_0001.avi") == pattern(3 * 1024 * 1024 + 512 * 1024, 'r'));
    EXPECT_EQ(readAll(card + "backbbinfo.cfg"), QByteArray("card info\r\n"));
    EXPECT_EQ(entries(card), (QStringList{"REC_0001.avi", "backbbinfo.cfg", "rp_cam.idb"}));
    EXPECT_TRUE(entries(staging).isEmpty());
}

TEST_F(NearlyFullCard, FailureAfterTheOldFileWentKeepsTheCheckedCopyForTheNextClick) {
    const QByteArray fresh = pattern(3 * 1024 * 1024 + 256 * 1024, 'n');
    publish(fresh);
    // Once the old file is gone a stop is not obeyed (a card left without a database helps no
    // one); the card filling up meanwhile fails the copy.
    const card::DatabaseOutcome stopped = run({}, fillCardOnceCopyingBegins());
    EXPECT_EQ(stopped.fault, BodyFault::Storage);
    EXPECT_TRUE(stopped.oldRemoved);
    EXPECT_FALSE(QFile::exists(card + "rp_cam.idb"));
    EXPECT_EQ(entries(card), (QStringList{"REC_0001.avi", "REC_0002.avi", "backbbinfo.cfg"}));
    EXPECT_TRUE(readAll(staging + "rp_cam.idb") == fresh);
    ASSERT_EQ(fileRequests(), 1);

    // The next click, once there is room again, writes the kept copy: nothing is fetched again.
    QFile::remove(card + "REC_0002.avi");
    const card::DatabaseOutcome next = run();
    ASSERT_TRUE(next.ok()) << card::failureReason(next).toStdString();
    EXPECT_EQ(fileRequests(), 1);
    EXPECT_TRUE(readAll(card + "rp_cam.idb") == fresh);
    EXPECT_TRUE(entries(staging).isEmpty());
}

TEST_F(NearlyFullCard, KeptCopyOfAnotherVersionIsNotWritten) {
    const QByteArray fresh = pattern(3 * 1024 * 1024 + 256 * 1024, 'n');
    publish(fresh);
    run({}, fillCardOnceCopyingBegins());
    QFile::remove(card + "REC_0002.avi");
    source.version = "3.1";  // the service now names a newer file
    const card::DatabaseOutcome next = run();
    EXPECT_TRUE(next.ok()) << card::failureReason(next).toStdString();
    EXPECT_EQ(fileRequests(), 2);
}

// While the driver is asked whether to stop, the commit (here: the old file's removal) waits;
// stopped then, the card keeps its old database; let go, the new one is written.
TEST_F(NearlyFullCard, HeldCommitWaitsAndAStopThenLeavesTheOldDatabase) {
    const QByteArray old = readAll(card + "rp_cam.idb");
    const QByteArray fresh = pattern(3 * 1024 * 1024 + 256 * 1024, 'n');
    publish(fresh);
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stopped" : "let go");
        card::DownloadControl control;
        ASSERT_TRUE(control.holdCommit());
        card::DatabaseSettings settings{{5000, 30000, 0}, staging};
        settings.control = &control;
        card::DatabaseOutcome outcome;
        std::thread worker([&] {
            outcome = card::downloadDatabase(source, card::DatabaseTarget{card, {}}, settings, {},
                                             cancel);
        });
        // The checked copy is on the computer; the card has not changed.
        QElapsedTimer waited;
        waited.start();
        while (!QFile::exists(staging + "rp_cam.idb.source") && waited.elapsed() < 10000)
            QThread::msleep(10);
        QThread::msleep(100);
        EXPECT_EQ(control.phase(), card::CardPhase::Fetching);
        EXPECT_TRUE(readAll(card + "rp_cam.idb") == old);
        if (stop)
            control.stop();
        control.releaseCommit();
        worker.join();
        if (stop) {
            EXPECT_EQ(outcome.fault, BodyFault::Cancelled);
            EXPECT_FALSE(outcome.oldRemoved);
            EXPECT_TRUE(readAll(card + "rp_cam.idb") == old);
            EXPECT_TRUE(entries(staging).isEmpty());
        } else {
            EXPECT_TRUE(outcome.ok()) << card::failureReason(outcome).toStdString();
            EXPECT_EQ(control.phase(), card::CardPhase::Rewriting);
            EXPECT_TRUE(readAll(card + "rp_cam.idb") == fresh);
        }
        EXPECT_EQ(entries(card), (QStringList{"REC_0001.avi", "backbbinfo.cfg", "rp_cam.idb"}));
    }
}

// A killed attempt's temporary file takes room the next one needs: it is ours to remove.
TEST_F(NearlyFullCard, LeftoverOfAKilledAttemptDoesNotStandInTheWay) {
    writeFile(card + "rp_cam.idb.part", pattern(1024 * 1024 + 256 * 1024, 'k'));
    const QByteArray fresh = pattern(3 * 1024 * 1024 + 256 * 1024, 'n');
    publish(fresh);
    const card::DatabaseOutcome outcome = run();
    ASSERT_TRUE(outcome.ok()) << card::failureReason(outcome).toStdString();
    EXPECT_TRUE(readAll(card + "rp_cam.idb") == fresh);
    EXPECT_EQ(entries(card), (QStringList{"REC_0001.avi", "backbbinfo.cfg", "rp_cam.idb"}));
}

TEST_F(NearlyFullCard, NoRoomForEitherWritesNothingAndNamesTheMegabytes) {
    const QByteArray big = pattern(7 * 1024 * 1024, 'b');
    publish(big);
    const card::DatabaseOutcome outcome = run();
    EXPECT_EQ(outcome.fault, BodyFault::NoRoom);
    EXPECT_TRUE(card::failureReason(outcome).contains(QStringLiteral("필요 8MB")))
        << card::failureReason(outcome).toStdString();
    EXPECT_TRUE(readAll(card + "rp_cam.idb") == pattern(3 * 1024 * 1024, 'o'));
    EXPECT_EQ(entries(card), (QStringList{"REC_0001.avi", "backbbinfo.cfg", "rp_cam.idb"}));
    EXPECT_EQ(fileRequests(), 0);
}

// --- a card whose lock switch is on: the system mounts it read-only and refuses every write

class LockedCard : public DatabaseDownload {
  protected:
    void SetUp() override {
        DatabaseDownload::SetUp();
        const QByteArray path = QFile::encodeName(cardDir.path());
        if (::geteuid() != 0 || ::mount("tmpfs", path.constData(), "tmpfs", 0, "size=8m") != 0)
            GTEST_SKIP() << "a locked card needs the right to mount a tmpfs";
        mounted = true;
        writeFile(card + "rp_cam.idb", old);
        writeFile(card + "backbbinfo.cfg", "card info\r\n");
        ASSERT_EQ(::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    }
    void TearDown() override {
        if (mounted)
            ::umount2(QFile::encodeName(cardDir.path()).constData(), MNT_DETACH);
    }
    // What an earlier attempt checked and left on the computer for this file.
    void keepCheckedCopy(const QByteArray& bytes) {
        writeFile(staging + "rp_cam.idb", bytes);
        writeFile(staging + "rp_cam.idb.source",
                  (QStringList{source.path, source.fileName, source.version,
                               QString::number(bytes.size()), source.declaredSha256}
                       .join('\n'))
                      .toUtf8());
    }
    const QByteArray old = pattern(3 * 1024 * 1024, 'o');
    bool mounted = false;
};

TEST_F(LockedCard, RefusedBeforeAnythingIsFetchedAndTheCardStaysAsItWas) {
    struct Case {
        const char* name;
        qint64 size;
        bool keptCopy;
    };
    for (const Case& c : {Case{"room beside the old file", 256 * 1024, false},
                          // Would be fetched whole onto the computer first.
                          Case{"room only in place of the old file", 5 * 1024 * 1024, false},
                          Case{"a checked copy waits on the computer", 5 * 1024 * 1024, true}}) {
        SCOPED_TRACE(c.name);
        const QByteArray fresh = pattern(c.size, 'n');
        // What the service declares decides the plan; the host is never asked.
        publish(fresh);
        source.declaredSize = QString::number(fresh.size());
        source.declaredSha256 = hexSha256(fresh);
        if (c.keptCopy)
            keepCheckedCopy(fresh);
        const int before = fileRequests();
        const card::DatabaseOutcome outcome = run();
        EXPECT_EQ(outcome.fault, BodyFault::WriteProtected)
            << card::failureReason(outcome).toStdString() << " " << outcome.detail.toStdString();
        EXPECT_TRUE(card::failureReason(outcome).contains(QStringLiteral("잠금 스위치")));
        EXPECT_FALSE(outcome.oldRemoved);
        EXPECT_EQ(fileRequests(), before);
        EXPECT_TRUE(readAll(card + "rp_cam.idb") == old);
        EXPECT_EQ(entries(card), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
        // The kept copy still waits for the card's lock to be slid back.
        EXPECT_EQ(QFile::exists(staging + "rp_cam.idb"), c.keptCopy);
    }
}

// Each write the system refuses as read-only is the lock switch, whichever call met it.
TEST_F(LockedCard, RefusedWritesAreTheLockSwitch) {
    const platform::FolderHandle folder = platform::FolderHandle::open(card);
    EXPECT_TRUE(folder.readOnlyVolume());
    platform::ReplacingFile file;
    EXPECT_FALSE(file.open(folder, "backbbinfo.cfg"));
    EXPECT_EQ(file.failure(), platform::ReplacingFile::Failure::WriteProtected);
    EXPECT_FALSE(folder.removeFile("rp_cam.idb"));
    EXPECT_EQ(errno, EROFS);
    EXPECT_FALSE(platform::FolderHandle::open(computer.path()).readOnlyVolume());
}

// --- links and pipes planted on a card with a file system that has them

TEST_F(DatabaseDownload, LinksOnTheCardNeverSendAWriteElsewhere) {
    const QString outside = computer.path() + QStringLiteral("/outside/");
    QDir().mkpath(outside);
    writeFile(outside + "victim", "precious");
    const QByteArray fresh = pattern(64 * 1024, 'l');
    publish(fresh);

    // A link at the temporary name: removed, not written through.
    QDir().mkpath(card + "DCIM");
    writeFile(card + "DCIM/rp_cam.idb", "old");
    ASSERT_EQ(::symlink(QFile::encodeName(outside + "victim").constData(),
                        QFile::encodeName(card + "DCIM/rp_cam.idb.part").constData()),
              0);
    card::DatabaseOutcome outcome = run("DCIM");
    ASSERT_TRUE(outcome.ok()) << card::failureReason(outcome).toStdString();
    EXPECT_TRUE(readAll(card + "DCIM/rp_cam.idb") == fresh);
    EXPECT_EQ(readAll(outside + "victim"), QByteArray("precious"));
    EXPECT_EQ(entries(card + "DCIM"), QStringList{"rp_cam.idb"});

    // A link at the database's own name is replaced by the file, never followed.
    QFile::remove(card + "DCIM/rp_cam.idb");
    ASSERT_EQ(::symlink(QFile::encodeName(outside + "victim").constData(),
                        QFile::encodeName(card + "DCIM/rp_cam.idb").constData()),
              0);
    outcome = run("DCIM");
    EXPECT_EQ(outcome.fault, BodyFault::Storage);  // not a regular file: left alone
    EXPECT_EQ(readAll(outside + "victim"), QByteArray("precious"));

    // The card folder itself a link out of the card: refused.
    ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(),
                        QFile::encodeName(card + "LINKED").constData()),
              0);
    outcome = run("LINKED");
    EXPECT_EQ(outcome.fault, BodyFault::Storage);
    EXPECT_EQ(entries(outside), QStringList{"victim"});
    EXPECT_EQ(readAll(outside + "victim"), QByteArray("precious"));
}

TEST_F(DatabaseDownload, CardInfoFileBehindALinkIsNeitherReadNorWrittenThrough) {
    const QString outside = computer.path() + QStringLiteral("/elsewhere.cfg");
    writeFile(outside, "not the card's\r\n");
    ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(),
                        QFile::encodeName(card + "backbbinfo.cfg").constData()),
              0);
    const platform::FolderHandle folder = platform::FolderHandle::openBeneath(card, {});
    EXPECT_THROW(card::loadCardInfoFile(folder), FileError);
    card::saveCardInfoFile(folder, "new\r\n");
    EXPECT_EQ(readAll(outside), QByteArray("not the card's\r\n"));
    EXPECT_EQ(readAll(card + "backbbinfo.cfg"), QByteArray("new\r\n"));
    EXPECT_FALSE(QFileInfo(card + "backbbinfo.cfg").isSymLink());
}

TEST_F(DatabaseDownload, PipeAtTheTemporaryNameIsRemovedNotWaitedOn) {
    writeFile(card + "rp_cam.idb", "old");
    ASSERT_EQ(::mkfifo(QFile::encodeName(card + "rp_cam.idb.part").constData(), 0600), 0);
    const QByteArray fresh = pattern(100 * 1024, 'p');
    publish(fresh);
    const card::DatabaseOutcome outcome = run();
    ASSERT_TRUE(outcome.ok()) << card::failureReason(outcome).toStdString();
    EXPECT_TRUE(readAll(card + "rp_cam.idb") == fresh);
    EXPECT_EQ(entries(card), QStringList{"rp_cam.idb"});
}

// Another program that puts its own file at the temporary name between the write and the
// rename must not get that file installed.
TEST(ReplacingFileCommit, ForeignFileAtTheTemporaryNameIsNotInstalled) {
    QTemporaryDir dir;
    writeFile(dir.filePath("f"), "old");
    platform::ReplacingFile file;
    ASSERT_TRUE(file.open(dir.filePath("f")));
    ASSERT_TRUE(file.write("new bytes", 9));
    const QByteArray part = QFile::encodeName(dir.filePath("f.part"));
    ASSERT_EQ(::unlink(part.constData()), 0);
    writeFile(dir.filePath("f.part"), "foreign");
    EXPECT_FALSE(file.commit(QCryptographicHash::hash("new bytes", QCryptographicHash::Sha256)));
    EXPECT_FALSE(file.errorText().isEmpty());
    EXPECT_EQ(readAll(dir.filePath("f")), QByteArray("old"));
    EXPECT_EQ(readAll(dir.filePath("f.part")), QByteArray("foreign"));
}

#endif  // _WIN32

// What the card gives back is compared before the rename.
TEST(ReplacingFileReadBack, DifferentBytesOnTheMediumKeepTheOldFile) {
    QTemporaryDir dir;
    writeFile(dir.filePath("f"), "old");
    platform::ReplacingFile file;
    ASSERT_TRUE(file.open(dir.filePath("f")));
    ASSERT_TRUE(file.write("new bytes", 9));
    EXPECT_FALSE(file.commit(QCryptographicHash::hash("other", QCryptographicHash::Sha256)));
    EXPECT_EQ(file.failure(), platform::ReplacingFile::Failure::ReadBack);
    EXPECT_EQ(readAll(dir.filePath("f")), QByteArray("old"));
    EXPECT_EQ(entries(dir.path()), QStringList{"f"});

    ASSERT_TRUE(file.open(dir.filePath("f")));
    ASSERT_TRUE(file.write("new bytes", 9));
    EXPECT_TRUE(file.commit(QCryptographicHash::hash("new bytes", QCryptographicHash::Sha256)));
    EXPECT_EQ(readAll(dir.filePath("f")), QByteArray("new bytes"));
}

// The digest of what was written, whether the bytes stayed in one buffer or went through the
// writer's pieces (the last one partly full, or none left over); the read-back agrees with it.
TEST(ReplacingFileHash, DigestOfTheWrittenBytesAtEverySize) {
    constexpr qint64 kBuffer = platform::ReplacingFile::kBufferBytes;
    for (const qint64 size :
         {qint64{0}, qint64{9}, kBuffer - 1, kBuffer, 2 * kBuffer, 2 * kBuffer + 12345}) {
        SCOPED_TRACE(size);
        const QByteArray bytes = pattern(size, 'h');
        const QByteArray expected = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
        QTemporaryDir dir;
        platform::ReplacingFile file;
        ASSERT_TRUE(file.open(dir.filePath("f")));
        file.hashWrites();
        // In uneven slices, as a transfer hands them over.
        for (qint64 at = 0; at < size; at += 700001)
            ASSERT_TRUE(file.write(bytes.constData() + at,
                                   static_cast<std::size_t>(std::min<qint64>(700001, size - at))));
        EXPECT_EQ(file.writtenSha256().toHex(), expected.toHex());
        EXPECT_TRUE(file.commit(expected)) << file.errorText().toStdString();
        EXPECT_TRUE(readAll(dir.filePath("f")) == bytes);
    }
}

TEST(ReplacingFileFailure, OnlyAReadOnlyMediumIsTheLockSwitch) {
    using Failure = platform::ReplacingFile::Failure;
#ifdef _WIN32
    const long writeProtected = ERROR_WRITE_PROTECT;
    const long others[] = {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL,
                           ERROR_NOT_READY, ERROR_PATH_NOT_FOUND};
#else
    const long writeProtected = EROFS;
    const long others[] = {EACCES, EPERM, ENOSPC, EIO, ENOENT};
#endif
    EXPECT_EQ(platform::ReplacingFile::failureOf(writeProtected), Failure::WriteProtected);
    for (const long error : others)
        EXPECT_EQ(platform::ReplacingFile::failureOf(error), Failure::Write) << error;

    card::DatabaseOutcome locked;
    locked.fault = BodyFault::WriteProtected;
    EXPECT_EQ(card::failureReason(locked),
              QStringLiteral(
                  "SD카드에 쓸 수 없습니다 (SD카드 옆면의 잠금 스위치를 풀고 다시 꽂아 주세요. "
                  "잠금 스위치가 풀려 있으면 이 컴퓨터가 이동식 디스크에 쓰는 것을 막고 있을 수 "
                  "있습니다)"));
}

TEST(DeclaredSize, OnlyDecimalDigits) {
    struct Case {
        const char* text;
        bool valid;
        std::optional<qint64> size;
    };
    for (const Case& c :
         {Case{"", true, std::nullopt}, Case{" ", true, std::nullopt}, Case{"0", true, 0},
          Case{"307200", true, 307200}, Case{"-1", false, std::nullopt},
          Case{"1e6", false, std::nullopt}, Case{"+5", false, std::nullopt},
          Case{"0x10", false, std::nullopt}, Case{"99999999999999999999", false, std::nullopt}}) {
        bool valid = false;
        EXPECT_EQ(card::parseDeclaredSize(QString::fromLatin1(c.text), &valid), c.size) << c.text;
        EXPECT_EQ(valid, c.valid) << c.text;
    }
}

}  // namespace
