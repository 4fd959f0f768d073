// The platform side of the card: which mounted volumes the drive list offers, and the
// streamed download that never leaves a half-written file on the card.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include "base/errors.h"
#include "card/card_info.h"
#include "platform/downloads.h"
#include "platform/drives.h"
#include "platform/linux_platform.h"
#include "platform/replacing_file.h"
#include "support/files.h"
#include "support/gate.h"
#include "support/test_server.h"

namespace {

// ---------------------------------------------------------------- drive list

const char* const kDesktopMounts[] = {
    "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro",
    "23 22 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw",
    "24 22 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw",
    "25 22 0:5 / /dev rw,nosuid,relatime shared:2 - devtmpfs udev rw,size=8000000k,mode=755",
    "26 22 0:25 / /run rw,nosuid,nodev,noexec,relatime shared:5 - tmpfs tmpfs rw,mode=755",
    "27 24 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw",
    "30 22 8:1 / /boot/efi rw,relatime shared:30 - vfat /dev/sda1 rw,fmask=0077,dmask=0077",
    "40 22 7:3 / /snap/core20/2015 ro,nodev,relatime shared:20 - squashfs /dev/loop3 ro",
    "50 26 0:45 / /run/user/1000 rw,nosuid,nodev,relatime shared:400 - tmpfs tmpfs rw,mode=700",
    "51 50 0:46 / /run/user/1000/gvfs rw,nosuid,nodev,relatime shared:410 - fuse.gvfsd-fuse "
    "gvfsd-fuse rw,user_id=1000,group_id=1000",
    "52 50 0:47 / /run/user/1000/doc rw,nosuid,nodev,relatime shared:420 - fuse.portal portal "
    "rw,user_id=1000,group_id=1000",
    // An SD slot (mmcblk) mounted by udisks with the kernel's exFAT driver.
    "60 22 179:1 / /media/kim/DASHCAM rw,nosuid,nodev,relatime shared:500 - exfat "
    "/dev/mmcblk0p1 rw,uid=1000,gid=1000,fmask=0022,dmask=0022,iocharset=utf8",
    // A USB card reader that calls itself a fixed disk; a blank in the label.
    "61 22 8:17 / /media/kim/SD\\040CARD rw,nosuid,nodev,relatime shared:510 master:3 - vfat "
    "/dev/sdb1 rw,uid=1000,gid=1000,shortname=mixed,utf8=1",
    "62 22 0:50 / /home/kim/net rw,relatime shared:520 - cifs //nas/share rw,vers=3.0",
    "63 22 0:51 / /tmp rw,nosuid,nodev shared:530 - tmpfs tmpfs rw",
};

const char* const kOtherMounts[] = {
    // Fedora, an NTFS card through ntfs-3g (FUSE on a block device).
    "70 22 8:33 / /run/media/lee/BACKUP rw,nosuid,nodev,relatime shared:600 - fuseblk /dev/sdc1 "
    "rw,user_id=0,group_id=0,default_permissions,allow_other,blksize=4096",
    // exFAT through exfat-fuse over a loop device, mounted by hand.
    "80 1 7:0 / /mnt/card rw,relatime shared:700 - fuseblk /dev/loop0 rw,user_id=0,group_id=0",
    "90 1 8:49 / /media/kim/WIN rw,relatime shared:710 - ntfs3 /dev/sdd1 rw,uid=1000",
    // The system disk on btrfs subvolumes.
    "100 1 0:31 /@ / rw,relatime shared:1 - btrfs /dev/nvme0n1p2 rw,subvolid=256,subvol=/@",
    "101 100 0:31 /@home /home rw,relatime shared:2 - btrfs /dev/nvme0n1p2 rw,subvol=/@home",
    // A container's file binds.
    "110 100 254:0 /var/lib/docker/containers/abc/hosts /etc/hosts rw,relatime - ext4 /dev/vda rw",
    // The same card mounted a second time, and a tmpfs mounted over a card's mount point.
    "120 1 179:1 / /mnt/again rw,relatime shared:720 - exfat /dev/mmcblk0p1 rw",
    "130 1 7:1 / /mnt/hidden rw,relatime shared:730 - vfat /dev/loop1 rw",
    "131 130 0:60 / /mnt/hidden rw,relatime shared:731 - tmpfs tmpfs rw",
    "not a mount line",
    "",
};

template <std::size_t N>
QByteArray joined(const char* const (&lines)[N]) {
    QByteArray text;
    for (const char* line : lines)
        text += QByteArray(line) + '\n';
    return text;
}

QStringList rootsOf(const QList<platform::Drive>& drives) {
    QStringList roots;
    for (const platform::Drive& d : drives)
        roots.append(d.root);
    return roots;
}

const char* const kRemovableMounts[] = {
    // A USB stick formatted ext4, and an SD card formatted ext4 in the laptop's slot.
    "140 22 8:65 / /media/kim/STICK rw,relatime shared:800 - ext4 /dev/sde1 rw",
    "141 22 179:9 / /media/kim/LINUXSD rw,relatime shared:801 - ext4 /dev/mmcblk1p1 rw",
    // A second fixed disk: never offered, even mounted under /media.
    "142 22 8:81 / /media/kim/DATA rw,relatime shared:802 - xfs /dev/sdf1 rw",
    // A system booted from a removable disk: its own root is still not offered, nor a FAT
    // volume mounted as the root.
    "143 1 8:97 / / rw,relatime shared:803 - ext4 /dev/sdg1 rw",
    "144 1 8:113 / / rw,relatime shared:804 - vfat /dev/sdh1 rw",
};

// What sysfs would say for the devices of the fixtures above.
bool removableInFixtures(const QString& deviceId) {
    return QStringList{"8:65", "179:9", "8:97"}.contains(deviceId);
}

TEST(DriveList, OffersCardVolumesFirstAndLeavesOutPseudoAndSystemMounts) {
    const auto mounts = platform::parseMountInfo(joined(kDesktopMounts));
    EXPECT_EQ(rootsOf(platform::cardVolumes(mounts, {}, removableInFixtures)),
              (QStringList{"/media/kim/DASHCAM/", "/media/kim/SD CARD/"}));

    const auto others = platform::parseMountInfo(joined(kOtherMounts));
    EXPECT_EQ(
        rootsOf(platform::cardVolumes(others, {}, removableInFixtures)),
        (QStringList{"/media/kim/WIN/", "/mnt/again/", "/mnt/card/", "/run/media/lee/BACKUP/"}));
}

// A card mounted anew at the same place is another volume: its mount ID tells.
TEST(DriveList, EachVolumeCarriesTheIdOfItsMount) {
    QList<quint64> ids;
    for (const platform::Drive& d : platform::cardVolumes(
             platform::parseMountInfo(joined(kDesktopMounts)), {}, removableInFixtures))
        ids.append(d.identity);
    ASSERT_EQ(ids.size(), 2);
    EXPECT_NE(ids[0], 0u);
    EXPECT_NE(ids[0], ids[1]);
    const QByteArray line = "412 22 8:65 / /media/kim/DASHCAM rw - vfat /dev/sde1 rw\n";
    const QByteArray again = "977 22 8:65 / /media/kim/DASHCAM rw - vfat /dev/sde1 rw\n";
    EXPECT_EQ(platform::parseMountInfo(line).front().mountId, 412u);
    EXPECT_EQ(platform::parseMountInfo(again).front().mountId, 977u);
}

// The kernel reuses mount IDs: a card mounted after another left, under the ID the other had,
// is another volume; so is a mount whose device or file system changed under the same ID.
TEST(DriveList, IdentityChangesWheneverTheVolumeMayHave) {
    const auto mount = [](const char* line) { return platform::parseMountInfo(line).front(); };
    const auto cardA = mount("412 22 8:65 / /media/kim/DASHCAM rw - vfat /dev/sde1 rw\n");
    const auto cardAOnOtherDevice = mount("412 22 8:81 / /media/kim/DASHCAM rw - vfat /dev/sdf1 rw\n");
    const auto stick = mount("413 22 8:97 / /media/kim/STICK rw - vfat /dev/sdg1 rw\n");
    const auto uuidOf = [](const QString& source) {
        return source == "/dev/sde1" ? QStringLiteral("1234-ABCD") : QString();
    };

    platform::VolumeKeys keys;
    keys.observe({cardA, stick}, uuidOf);
    const quint64 first = keys.identityOf(cardA);
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, keys.identityOf(stick));
    keys.observe({cardA, stick}, uuidOf);
    EXPECT_EQ(keys.identityOf(cardA), first) << "nothing changed";

    // The stick leaves: the card that stayed keeps its identity.
    keys.observe({cardA}, uuidOf);
    EXPECT_EQ(keys.identityOf(cardA), first);

    // The card leaves and another comes back under the same ID and device.
    keys.observe({}, uuidOf);
    keys.observe({cardA}, [](const QString&) { return QStringLiteral("9999-0000"); });
    const quint64 second = keys.identityOf(cardA);
    EXPECT_NE(second, first);

    // Even with the same UUID (a clone), a leave between the two looks tells them apart.
    keys.observe({}, uuidOf);
    keys.observe({cardA}, [](const QString&) { return QStringLiteral("9999-0000"); });
    const quint64 third = keys.identityOf(cardA);
    EXPECT_NE(third, second);

    // Another device under the same ID without a look in between.
    keys.observe({cardAOnOtherDevice}, uuidOf);
    EXPECT_NE(keys.identityOf(cardAOnOtherDevice), third);

    // The drive list carries these identities.
    const QList<platform::Drive> drives = platform::cardVolumes(
        {cardAOnOtherDevice}, {}, [](const QString&) { return true; },
        [&keys](const platform::MountEntry& m) { return keys.identityOf(m); });
    ASSERT_EQ(drives.size(), 1);
    EXPECT_EQ(drives.front().identity, keys.identityOf(cardAOnOtherDevice));
}

// The system's own disks are offered on no condition; other file systems only on a
// removable or SD/MMC device.
TEST(DriveList, OtherFileSystemsOnlyOnRemovableDevices) {
    const auto mounts = platform::parseMountInfo(joined(kDesktopMounts) + joined(kOtherMounts) +
                                                 joined(kRemovableMounts));
    EXPECT_EQ(
        rootsOf(platform::cardVolumes(mounts, {}, removableInFixtures)),
        (QStringList{"/media/kim/DASHCAM/", "/media/kim/SD CARD/", "/media/kim/WIN/", "/mnt/card/",
                     "/run/media/lee/BACKUP/", "/media/kim/LINUXSD/", "/media/kim/STICK/"}));
    // Every device fixed: the card file systems alone.
    EXPECT_EQ(
        rootsOf(platform::cardVolumes(platform::parseMountInfo(joined(kRemovableMounts)), {}, {})),
        QStringList{});
}

// A small sysfs: /sys/dev/block/M:m links to the device's folder, a partition's folder lies
// inside its disk's.
TEST(DriveList, RemovableDevicesAsSysfsTellsThem) {
    QTemporaryDir sys;
    ASSERT_TRUE(sys.isValid());
    const QString devices = sys.filePath("devices/pci0000:00");
    const auto disk = [&](const QString& name, const char* removable, QStringList partitions) {
        QDir().mkpath(devices + "/block/" + name);
        QFile f(devices + "/block/" + name + "/removable");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(removable);
        for (const QString& p : partitions) {
            QDir().mkpath(devices + "/block/" + name + "/" + p);
            QFile part(devices + "/block/" + name + "/" + p + "/partition");
            ASSERT_TRUE(part.open(QIODevice::WriteOnly));
            part.write("1\n");
        }
    };
    const auto link = [&](const char* id, const QString& target) {
        QDir().mkpath(sys.filePath("dev/block"));
        ASSERT_TRUE(QFile::link(devices + "/block/" + target, sys.filePath("dev/block/") + id));
    };
    disk("sda", "0\n", {"sda1", "sda2"});
    disk("sdb", "1\n", {"sdb1"});
    disk("mmcblk0", "0\n", {"mmcblk0p1"});
    disk("sdc", "0\n", {});
    link("8:1", "sda/sda1");
    link("8:2", "sda/sda2");
    link("8:0", "sda");
    link("8:17", "sdb/sdb1");
    link("8:16", "sdb");
    link("179:1", "mmcblk0/mmcblk0p1");
    link("8:32", "sdc");
    struct Case {
        const char* deviceId;
        bool removable;
    };
    for (const Case c :
         {Case{"8:1", false}, Case{"8:2", false}, Case{"8:0", false}, Case{"8:17", true},
          Case{"8:16", true}, Case{"179:1", true}, Case{"8:32", false}, Case{"0:31", false},
          Case{"../../x", false}, Case{"", false}}) {
        EXPECT_EQ(platform::isRemovableBlockDevice(sys.path(), QString::fromUtf8(c.deviceId)),
                  c.removable)
            << c.deviceId;
    }
}

TEST(DriveList, ShowsMountPointAndLabel) {
    const auto mounts = platform::parseMountInfo(joined(kDesktopMounts));
    const auto drives = platform::cardVolumes(mounts, [](const QString& source) {
        return source == QStringLiteral("/dev/mmcblk0p1") ? QStringLiteral("블랙박스") : QString();
    });
    ASSERT_EQ(drives.size(), 2);
    EXPECT_EQ(drives.at(0).display, QStringLiteral("/media/kim/DASHCAM [블랙박스]"));
    EXPECT_EQ(drives.at(1).display, QStringLiteral("/media/kim/SD CARD"));
}

TEST(DriveList, ParsesFieldsAndEscapes) {
    const auto mounts = platform::parseMountInfo(
        "61 22 8:17 / /media/a\\040b\\011c\\134d rw shared:1 master:2 - vfat /dev/sdb1 rw\n"
        "62 22 8:18 / /short rw - vfat\n"
        "x63 22 8:19 / /media/noid rw - vfat /dev/sdc1 rw\n"
        " 22 8:20 / /media/blank rw - vfat /dev/sdd1 rw\n"
        "-1 22 8:21 / /media/negative rw - vfat /dev/sde1 rw\n");
    ASSERT_EQ(mounts.size(), 1);
    EXPECT_EQ(mounts.at(0).mountPoint, QStringLiteral("/media/a b\tc\\d"));
    EXPECT_EQ(mounts.at(0).fsType, QStringLiteral("vfat"));
    EXPECT_EQ(mounts.at(0).source, QStringLiteral("/dev/sdb1"));
    EXPECT_EQ(mounts.at(0).deviceId, QStringLiteral("8:17"));
    EXPECT_EQ(platform::decodeUdevName(QStringLiteral("SD\\x20CARD\\xed\\x95\\x9c")),
              QStringLiteral("SD CARD한"));
}

TEST(DriveList, VolumeOfAFolderIsTheLongestMountPointAbove) {
    QByteArray text = joined(kDesktopMounts) + joined(kOtherMounts);
    const auto mounts = platform::parseMountInfo(text);
    struct Case {
        const char* path;
        const char* root;
    };
    for (const Case c : {Case{"/media/kim/DASHCAM", "/media/kim/DASHCAM/"},
                         Case{"/media/kim/DASHCAM/DCIM/x", "/media/kim/DASHCAM/"},
                         Case{"/media/kim/DASHCAMX", "/"}, Case{"/home/kim/work", "/home/"},
                         Case{"/tmp/build", "/tmp/"}, Case{"/", "/"}}) {
        EXPECT_EQ(platform::volumeRootIn(mounts, QString::fromUtf8(c.path)),
                  QString::fromUtf8(c.root))
            << c.path;
    }
}

// The real system call: whatever this machine has, the current folder's volume is found and
// no pseudo file system is offered. The list is read from the mount table alone, never from
// the volumes: a dead FUSE mount (its daemon gone) or a hung card is listed without being
// touched, so only the table is the measure here.
TEST(DriveList, RealSystemListsOnlyMountedFolders) {
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    QSet<QString> mountPoints;
    for (const platform::MountEntry& m : platform::parseMountInfo(table.readAll()))
        mountPoints.insert(m.mountPoint.endsWith(QLatin1Char('/')) ? m.mountPoint
                                                                   : m.mountPoint + u'/');
    for (const platform::Drive& d : platform::mountedCardVolumes()) {
        EXPECT_TRUE(d.root.endsWith(QLatin1Char('/'))) << d.root.toStdString();
        EXPECT_FALSE(d.root.startsWith(QStringLiteral("/proc")));
        EXPECT_TRUE(mountPoints.contains(d.root)) << d.root.toStdString();
    }
    EXPECT_TRUE(QDir::currentPath().startsWith(platform::volumeRootOf(QDir::currentPath())));
}

// ---------------------------------------------------------------- mount watcher

// Runs the event loop until the watcher has reported count changes or the time is up.
bool reportedWithin(const int& changes, int count, int ms) {
    QElapsedTimer waited;
    waited.start();
    while (changes < count && waited.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return changes >= count;
}

// A volume mounted and unmounted is each reported within a second, through the kernel's
// change event on the mount table; with no change nothing is reported. Needs the right to
// mount, so it runs as root only.
TEST(DriveWatch, RealMountTableReportsEachMountAndUnmount) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a test volume needs root";
    platform::LinuxPlatform real;
    int changes = 0;
    std::unique_ptr<QObject> watch = real.watchDrives([&changes] { ++changes; });
    ASSERT_NE(watch, nullptr);
    EXPECT_FALSE(reportedWithin(changes, 1, 400));

    QTemporaryDir point;
    const QByteArray target = QFile::encodeName(point.path());
    ASSERT_EQ(::mount("drivoro-test", target.constData(), "tmpfs", 0, "size=1m"), 0);
    EXPECT_TRUE(reportedWithin(changes, 1, 1000));
    ASSERT_EQ(::umount(target.constData()), 0);
    EXPECT_TRUE(reportedWithin(changes, 2, 1000));
    EXPECT_FALSE(reportedWithin(changes, 3, 400));

    // Once the watcher is gone nothing more is reported.
    watch.reset();
    ASSERT_EQ(::mount("drivoro-test", target.constData(), "tmpfs", 0, "size=1m"), 0);
    EXPECT_FALSE(reportedWithin(changes, 3, 400));
    ::umount(target.constData());
}

// ---------------------------------------------------------------- download

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    rng.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

class CardDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        target = dir.filePath("rp_cam.idb");
        QFile f(target);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(kOld);
    }
    QStringList folderEntries() const {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    void expectOldKept() const {
        EXPECT_EQ(readAll(target), kOld);
        EXPECT_EQ(folderEntries(), QStringList{"rp_cam.idb"});
    }

    const QByteArray kOld = "the database the card holds now";
    QTemporaryDir dir;
    QString target;
    Gate silence;  // outlives the server's threads
    TestServer server;
};

TEST_F(CardDownload, WholeFileReplacesTheOldOneAndProgressIsReported) {
    // Larger than two write buffers, and not a multiple of one.
    const QByteArray body = randomBytes(9 * 1024 * 1024 + 12345, 1);
    server.serveFile("/db/new.idb", std::string(body.constData(), body.size()));
    server.start();
    std::int64_t lastReceived = 0;
    int calls = 0;
    platform::DownloadOptions options;
    options.progress = [&](std::int64_t received, std::int64_t) {
        EXPECT_GE(received, lastReceived);
        lastReceived = received;
        ++calls;
    };
    const auto result = platform::downloadUrlToFile(server.url("/db/new.idb"), target, options);
    EXPECT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_TRUE(readAll(target) == body);
    EXPECT_EQ(lastReceived, body.size());
    EXPECT_GT(calls, 1);
    EXPECT_EQ(folderEntries(), QStringList{"rp_cam.idb"});
}

// What a killed download left on the card is taken over, not piled up.
TEST_F(CardDownload, LeftoverOfAnInterruptedDownloadIsReused) {
    writeFile(target + ".part", "half of an earlier download");
    server.serveFile("/db/new.idb", "new database");
    server.start();
    EXPECT_TRUE(platform::downloadUrlToFile(server.url("/db/new.idb"), target, {}).ok);
    EXPECT_EQ(readAll(target), QByteArray("new database"));
    EXPECT_EQ(folderEntries(), QStringList{"rp_cam.idb"});
}

TEST_F(CardDownload, NewFileInAnEmptyFolder) {
    server.serveFile("/f", "abc");
    server.start();
    const QString fresh = dir.filePath("new.idb");
    EXPECT_TRUE(platform::downloadUrlToFile(server.url("/f"), fresh, {}).ok);
    EXPECT_EQ(readAll(fresh), QByteArray("abc"));
}

TEST_F(CardDownload, EveryFailureKeepsTheOldFileAndLeavesNothingBehind) {
    const std::string big(2 * 1024 * 1024, 'x');
    server.answer("/missing", "not found", 404);
    server.answer("/error", "oops", 500);
    // Announces 2 MiB, sends half, and hangs up.
    server.http().Get("/cut", [&big](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(big.size(), "application/octet-stream",
                                 [&big](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset >= big.size() / 2)
                                         return false;
                                     sink.write(big.data() + offset, big.size() / 2);
                                     return true;
                                 });
    });
    // Sends a little, then falls silent until the test is over.
    server.http().Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream",
                                         [this](size_t offset, httplib::DataSink& sink) {
                                             if (offset > 0) {
                                                 silence.wait();
                                                 return false;
                                             }
                                             sink.write("part", 4);
                                             return true;
                                         });
    });
    server.start();

    platform::DownloadOptions options;
    options.limits.stallTimeoutMs = 300;
    struct Case {
        const char* name;
        QString url;
        QString target;
    };
    for (const Case& c :
         {Case{"404", server.url("/missing"), target}, Case{"500", server.url("/error"), target},
          Case{"cut", server.url("/cut"), target},
          Case{"refused", QStringLiteral("http://127.0.0.1:1/db"), target},
          Case{"folder missing", server.url("/missing"), dir.filePath("nope/rp_cam.idb")}}) {
        const auto result = platform::downloadUrlToFile(c.url, c.target, options);
        EXPECT_FALSE(result.ok) << c.name;
        EXPECT_FALSE(result.error.isEmpty()) << c.name;
        expectOldKept();
    }

    const auto stalled = platform::downloadUrlToFile(server.url("/stall"), target, options);
    silence.open();
    EXPECT_FALSE(stalled.ok);
    EXPECT_TRUE(stalled.error.contains(QStringLiteral("no data received for 300 milliseconds")))
        << stalled.error.toStdString();
    expectOldKept();
}

// A card that fills up (or is pulled out) part-way: the write fails, the old file stays.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, previousHandler_);
    }

  private:
    rlimit previous_{};
    sighandler_t previousHandler_;
};

TEST_F(CardDownload, CardFullHalfWayKeepsTheOldFile) {
    const QByteArray body = randomBytes(6 * 1024 * 1024, 2);
    server.serveFile("/db", std::string(body.constData(), body.size()));
    server.start();
    platform::DownloadResult result;
    {
        FileSizeLimit limit(1024 * 1024);
        result = platform::downloadUrlToFile(server.url("/db"), target, {});
    }
    EXPECT_FALSE(result.ok);
    expectOldKept();
}

TEST_F(CardDownload, CardInfoSaveThatFailsKeepsTheOldFile) {
    const QString info = dir.filePath("backbbinfo.cfg");
    card::saveCardInfoFile(info, "old info\r\n");
    {
        FileSizeLimit limit(64);
        EXPECT_THROW(card::saveCardInfoFile(info, QByteArray(1000, 'n')), FileError);
    }
    EXPECT_EQ(readAll(info), QByteArray("old info\r\n"));
    EXPECT_EQ(folderEntries(), (QStringList{"backbbinfo.cfg", "rp_cam.idb"}));
}

TEST(ReplacingFile, UncommittedFileLeavesNoTrace) {
    QTemporaryDir dir;
    const QString target = dir.filePath("x.bin");
    {
        platform::ReplacingFile file;
        ASSERT_TRUE(file.open(target));
        EXPECT_TRUE(QFile::exists(file.temporaryPath()));
        EXPECT_TRUE(file.write("abc", 3));
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

}  // namespace
