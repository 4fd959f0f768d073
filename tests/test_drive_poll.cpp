// The Windows drive poll's decisions, with drive letters whose calls a test holds back as a worn
// card or a hung USB bridge holds GetVolumeInformationW: the same on Linux and under Wine, which
// cannot make a drive hang. tests/windows/ runs the poll against Wine's own drives.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/windows/drive_poller.h"

namespace {

using platform::win::DrivePoller;
using platform::win::kDriveFixed;
using platform::win::kDriveRemovable;
using platform::win::LogicalDrive;

constexpr unsigned kDriveRemote = 4;
constexpr unsigned kDriveCdRom = 5;

// Drive letters as a test sets them; the volume calls of the letters it holds wait until they
// are released, and then answer what the drive held when they were asked.
class Letters {
  public:
    void set(QChar letter, unsigned type, const QString& fileSystem = {}, quint32 serial = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        inUse_ |= quint32{1} << (letter.unicode() - u'A');
        types_[letter] = type;
        volumes_[letter] = DrivePoller::Volume{fileSystem, QStringLiteral("LABEL"), serial};
    }
    void remove(QChar letter) {
        std::lock_guard<std::mutex> lock(mutex_);
        inUse_ &= ~(quint32{1} << (letter.unicode() - u'A'));
    }
    void hold(QChar letter) {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_.insert(letter);
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            holding_.clear();
            ++releases_;
        }
        released_.notify_all();
    }
    int held() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }
    int typeAsks(QChar letter) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return typeAsks_.value(letter);
    }
    int volumeAsks(QChar letter) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return volumeAsks_.value(letter);
    }

    static DrivePoller::System system(const std::shared_ptr<Letters>& letters) {
        return DrivePoller::System{
            [letters] {
                std::lock_guard<std::mutex> lock(letters->mutex_);
                return letters->inUse_;
            },
            [letters](QChar letter) {
                std::lock_guard<std::mutex> lock(letters->mutex_);
                ++letters->typeAsks_[letter];
                return letters->types_.value(letter);
            },
            [letters](QChar letter) {
                std::unique_lock<std::mutex> lock(letters->mutex_);
                ++letters->volumeAsks_[letter];
                const DrivePoller::Volume answer = letters->volumes_.value(letter);
                if (letters->holding_.contains(letter)) {
                    const quint64 release = letters->releases_;
                    ++letters->held_;
                    letters->released_.wait(lock, [&] { return letters->releases_ != release; });
                    --letters->held_;
                }
                return answer;
            },
        };
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    quint32 inUse_ = 0;
    QHash<QChar, unsigned> types_;
    QHash<QChar, DrivePoller::Volume> volumes_;
    QHash<QChar, int> typeAsks_;
    QHash<QChar, int> volumeAsks_;
    QSet<QChar> holding_;
    quint64 releases_ = 0;
    int held_ = 0;
};

class DrivePoll : public ::testing::Test {
  protected:
    void TearDown() override {
        letters->release();
        // A poller still polling always has a call out somewhere: it goes first, then no call
        // of its may be left.
        running.reset();
        EXPECT_TRUE(DrivePoller::waitForCalls(std::chrono::seconds{10}));
    }

    std::optional<LogicalDrive> listed(QChar letter) const {
        for (const LogicalDrive& drive : poller.drives()) {
            if (drive.letter == letter)
                return drive;
        }
        return std::nullopt;
    }
    bool listedWith(QChar letter, quint32 serial, const QString& fileSystem) const {
        const std::optional<LogicalDrive> drive = listed(letter);
        return drive && drive->serial == serial && drive->fileSystem == fileSystem;
    }
    // Handles events until done; false after a bound long past anything the poll takes.
    static bool waitFor(const std::function<bool()>& done, int ms = 5000) {
        QElapsedTimer waited;
        waited.start();
        while (!done()) {
            if (waited.elapsed() > ms)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(2);
        }
        return true;
    }
    // Handles the events already posted, and those a round's answers post.
    static void settle() {
        waitFor([] { return false; }, 50);
    }

    std::shared_ptr<Letters> letters = std::make_shared<Letters>();
    std::optional<DrivePoller> running{std::in_place, Letters::system(letters)};
    DrivePoller& poller = *running;
};

// A card that does not answer: the window's look at the drives returns at once, the other
// drives' changes still come, the card is not asked again while its call is out, and it is
// followed again once it returns. Network and optical drives are never asked for a volume.
TEST_F(DrivePoll, HungLetterHoldsUpNothingElse) {
    letters->set(u'D', kDriveRemovable, "FAT32", 0x1111);
    letters->set(u'E', kDriveRemovable, "exFAT", 0x2222);
    letters->set(u'F', kDriveFixed, "FAT32", 0x3333);
    letters->set(u'N', kDriveRemote, "NTFS", 0x4444);
    letters->set(u'O', kDriveCdRom, "CDFS", 0x5555);
    letters->hold(u'D');
    int changes = 0;
    bool onWatchersThread = true;
    const std::unique_ptr<QObject> watch = poller.watch([&] {
        ++changes;
        onWatchersThread = onWatchersThread && QThread::currentThread() == qApp->thread();
    });
    poller.start(std::chrono::milliseconds{10});

    ASSERT_TRUE(waitFor([&] { return poller.drives().size() == 5 && changes > 0; }));
    EXPECT_EQ(letters->held(), 1) << "answered only once the card's call returned";
    // Its kind is known: listed as a slot whose card is not known yet.
    ASSERT_TRUE(listed(u'D'));
    EXPECT_EQ(listed(u'D')->type, kDriveRemovable);
    EXPECT_TRUE(listed(u'D')->fileSystem.isEmpty());
    EXPECT_EQ(listed(u'D')->serial, 0u);
    EXPECT_TRUE(listedWith(u'E', 0x2222, "exFAT"));
    EXPECT_TRUE(listedWith(u'F', 0x3333, "FAT32"));
    // Listed by kind, never asked for a volume.
    ASSERT_TRUE(listed(u'N'));
    EXPECT_TRUE(listedWith(u'N', 0, ""));
    EXPECT_TRUE(listedWith(u'O', 0, ""));

    // Another card put into E while D still hangs.
    letters->set(u'E', kDriveRemovable, "exFAT", 0x2223);
    const int before = changes;
    ASSERT_TRUE(waitFor([&] { return listedWith(u'E', 0x2223, "exFAT") && changes > before; }));
    // Rounds go on; network and optical drives are followed by their kind alone.
    ASSERT_TRUE(waitFor([&] {
        return letters->typeAsks(u'E') >= 5 && letters->typeAsks(u'N') >= 5 &&
               letters->typeAsks(u'O') >= 5;
    })) << "asked for their kind: E " << letters->typeAsks(u'E') << ", N "
        << letters->typeAsks(u'N') << ", O " << letters->typeAsks(u'O');
    EXPECT_EQ(letters->volumeAsks(u'D'), 1);
    EXPECT_EQ(letters->typeAsks(u'D'), 1);
    EXPECT_EQ(letters->held(), 1);
    EXPECT_EQ(letters->volumeAsks(u'N'), 0);
    EXPECT_EQ(letters->volumeAsks(u'O'), 0);
    EXPECT_FALSE(poller.waitUntilAnswered(std::chrono::milliseconds{50}));

    letters->release();
    const int beforeRelease = changes;
    ASSERT_TRUE(waitFor([&] { return listedWith(u'D', 0x1111, "FAT32"); }));
    ASSERT_TRUE(waitFor([&] { return changes > beforeRelease; }));
    ASSERT_TRUE(waitFor([&] { return letters->volumeAsks(u'D') >= 3; }));
    EXPECT_TRUE(poller.waitUntilAnswered(std::chrono::seconds{5}));
    EXPECT_TRUE(onWatchersThread);
}

// A card whose call hangs after it has answered keeps what it last said: a card that is slow
// to answer while it is being written is not taken for one pulled out. Taken out meanwhile, it
// says so once the call returns.
TEST_F(DrivePoll, HungLetterKeepsItsLastAnswer) {
    letters->set(u'E', kDriveRemovable, "FAT32", 0x2222);
    int changes = 0;
    const std::unique_ptr<QObject> watch = poller.watch([&] { ++changes; });
    poller.poll();
    ASSERT_TRUE(poller.waitUntilAnswered(std::chrono::seconds{5}));
    settle();
    EXPECT_EQ(changes, 1);

    letters->hold(u'E');
    letters->set(u'E', kDriveRemovable);  // pulled out while the call hangs
    poller.poll();
    ASSERT_TRUE(waitFor([&] { return letters->held() == 1; }));
    poller.poll();
    settle();
    EXPECT_TRUE(listedWith(u'E', 0x2222, "FAT32"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(letters->volumeAsks(u'E'), 2);

    // The call answers for the card it was asked about; the next one finds the slot empty.
    letters->release();
    ASSERT_TRUE(waitFor([&] {
        poller.poll();
        return listedWith(u'E', 0, "");
    }));
    ASSERT_TRUE(waitFor([&] { return changes == 2; }));
}

// A reader unplugged while its call hangs leaves the list at once; plugged in again before the
// call returns, it is not asked again until it has.
TEST_F(DrivePoll, LetterThatLeavesUseGoesAtOnceAndWaitsForItsCall) {
    letters->set(u'E', kDriveRemovable, "FAT32", 0x2222);
    letters->hold(u'E');
    int changes = 0;
    const std::unique_ptr<QObject> watch = poller.watch([&] { ++changes; });
    poller.poll();
    ASSERT_TRUE(waitFor([&] { return letters->held() == 1 && listed(u'E'); }));
    ASSERT_TRUE(waitFor([&] { return changes == 1; }));

    letters->remove(u'E');
    poller.poll();
    EXPECT_FALSE(listed(u'E'));
    ASSERT_TRUE(waitFor([&] { return changes == 2; }));

    letters->set(u'E', kDriveRemovable, "exFAT", 0x9999);  // another reader, another card
    poller.poll();
    settle();
    EXPECT_EQ(letters->typeAsks(u'E'), 1);
    EXPECT_FALSE(listed(u'E'));

    // The old call answers for the card that went; the reader is asked again after it.
    letters->release();
    ASSERT_TRUE(waitFor([&] {
        poller.poll();
        return letters->typeAsks(u'E') >= 2;
    }));
    ASSERT_TRUE(poller.waitUntilAnswered(std::chrono::seconds{5}));
    EXPECT_TRUE(listedWith(u'E', 0x9999, "exFAT"));
}

// What the watcher is told of: a card put in or taken out, whatever its serial, or another
// card; a new volume name alone tells it nothing, as before.
TEST(DriveSignature, CardsInAndOutChangeItANewNameDoesNot) {
    const auto drive = [](unsigned type, const char* fileSystem, quint32 serial,
                          const char* label = "CARD") {
        return QList<LogicalDrive>{LogicalDrive{u'C', kDriveFixed, "NTFS", "System", 7},
                                   LogicalDrive{u'E', type, fileSystem, label, serial}};
    };
    const QList<LogicalDrive> card = drive(kDriveRemovable, "FAT32", 0x1234);
    struct Case {
        const char* name;
        QList<LogicalDrive> now;
        bool changed;
    };
    for (const Case& c : {
             Case{"same", card, false},
             Case{"renamed", drive(kDriveRemovable, "FAT32", 0x1234, "OTHER"), false},
             Case{"another card", drive(kDriveRemovable, "FAT32", 0x1235), true},
             Case{"taken out", drive(kDriveRemovable, "", 0), true},
             Case{"another kind", drive(kDriveFixed, "FAT32", 0x1234), true},
             Case{"reader gone", card.mid(0, 1), true},
         }) {
        EXPECT_EQ(platform::win::driveSignature(c.now) != platform::win::driveSignature(card),
                  c.changed)
            << c.name;
    }
    // A card whose serial is 0 is still a card.
    EXPECT_NE(platform::win::driveSignature(drive(kDriveRemovable, "FAT32", 0)),
              platform::win::driveSignature(drive(kDriveRemovable, "", 0)));
}

// The current folder's drive comes from the folder's name alone: asking the system would touch
// the drive, which may be a card that does not answer.
TEST(CurrentDrive, RootFromTheFolderNameAlone) {
    struct Case {
        const char* folder;
        const char* root;
    };
    for (const Case& c : {
             Case{"C:\\Program Files\\Drivoro", "c:\\"},
             Case{"e:\\", "e:\\"},
             Case{"E:", "e:\\"},
             Case{"D:/dashcam/update", "d:\\"},
             Case{"\\\\?\\F:\\long\\folder", "f:\\"},
             Case{"\\\\server\\share\\folder", "\\\\server\\share\\"},
             Case{"\\\\?\\UNC\\server\\share\\folder", "\\\\server\\share\\"},
             Case{"\\\\server", ""},
             Case{"", ""},
             Case{"1:\\", ""},
         }) {
        EXPECT_EQ(platform::win::driveRootOfFolder(QString::fromUtf8(c.folder)),
                  QString::fromUtf8(c.root))
            << c.folder;
    }
}

// ------------------------------------------------------------------ the program's end

// The poll as the program leaves it, in a process of its own (the stop is for good): a stop
// lets the call already out end, waitForCalls() waits for it, and nothing is asked after.
TEST_F(DrivePoll, StoppedForTheProgramsEndChild) {
    if (!QCoreApplication::arguments().contains(QStringLiteral("--program-end")))
        GTEST_SKIP() << "run by DrivePollEnd";
    letters->set(u'C', kDriveFixed, "NTFS", 0x1111);
    letters->set(u'D', kDriveRemovable, "FAT32", 0x2222);
    letters->hold(u'D');
    poller.start(std::chrono::milliseconds{10});
    ASSERT_TRUE(waitFor([&] { return letters->held() == 1 && letters->typeAsks(u'C') >= 2; }));

    DrivePoller::stopAll();
    EXPECT_FALSE(DrivePoller::waitForCalls(std::chrono::milliseconds{100}));
    letters->release();
    EXPECT_TRUE(DrivePoller::waitForCalls(std::chrono::seconds{10}));
    const int typeAsks = letters->typeAsks(u'C');
    const int volumeAsks = letters->volumeAsks(u'C') + letters->volumeAsks(u'D');
    // Rounds still run until the poller goes, and start no call.
    settle();
    settle();
    poller.poll();
    EXPECT_TRUE(DrivePoller::waitForCalls(std::chrono::milliseconds{0}));
    EXPECT_EQ(letters->typeAsks(u'C'), typeAsks);
    EXPECT_EQ(letters->volumeAsks(u'C') + letters->volumeAsks(u'D'), volumeAsks);
}

TEST(DrivePollEnd, StoppedForTheProgramsEnd) {
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=DrivePoll.StoppedForTheProgramsEndChild"),
                 QStringLiteral("--program-end")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << output.constData();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.constData();
}

}  // namespace
