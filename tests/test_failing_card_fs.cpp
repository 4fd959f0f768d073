// The failing card the card tests run on: a folder served through FUSE that a test switches
// between answering, answering slowly, not answering, failing and being gone. Checked here
// with plain system calls, in the order the program makes them on a card.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <future>
#include <list>
#include <optional>
#include <thread>
#include <vector>

#include "support/failing_card.h"
#include "support/files.h"

namespace {

using namespace std::chrono_literals;

constexpr int kBoundMs = 5000;  // for what should take milliseconds; never reached when it works

// 0, or the errno of a call that returned -1.
int errorOf(long result) {
    return result < 0 ? errno : 0;
}

QByteArray pattern(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 4099) & 0xff);
    return bytes;
}

// Descriptors and processes that may be stuck on the card: they are closed and reaped only
// after the card is torn down, which releases whatever they wait for.
struct Leftovers {
    std::vector<int> fds;
    std::vector<pid_t> children;
    std::list<std::future<int>> calls;  // joined as they go

    ~Leftovers() {
        for (const pid_t child : children) {
            ::kill(child, SIGKILL);
            for (int i = 0; i < kBoundMs / 10 && ::waitpid(child, nullptr, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(10ms);
        }
        for (const int fd : fds)
            ::close(fd);
    }
};

class FailingCardFs : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto why = FailingCard::unavailableReason(); !why.isEmpty())
            GTEST_SKIP() << why.toStdString();
        ASSERT_TRUE(backing.isValid());
        writeFile(backing.filePath("backbbinfo.cfg"), "card info");
        card.emplace(backing.path());
        ASSERT_TRUE(card->isMounted());
    }

    void TearDown() override {
        if (!card)
            return;
        const QString point = card->mountPoint();
        card.reset();
        EXPECT_FALSE(FailingCard::isMountedAt(point)) << "a mount is left behind";
    }

    QByteArray onCard(const QString& name) const {
        return QFile::encodeName(card->mountPoint() + QLatin1Char('/') + name);
    }

    // Opened on the card; closed after the card is torn down.
    int openOnCard(const QString& name, int flags, mode_t mode = 0644) {
        return kept(::open(onCard(name).constData(), flags | O_CLOEXEC, mode));
    }

    // A descriptor a call may have opened on the card, closed after the card is torn down.
    int kept(int fd) {
        if (fd >= 0)
            left.fds.push_back(fd);
        return fd;
    }

    // The call's errno (0 when it succeeds), made on a thread of its own since it may block.
    std::future<int>& inBackground(std::function<long()> call) {
        return left.calls.emplace_back(
            std::async(std::launch::async, [call] { return errorOf(call()); }));
    }

    static bool finishes(std::future<int>& call) {
        return call.wait_for(std::chrono::milliseconds(kBoundMs)) == std::future_status::ready;
    }

    QTemporaryDir backing;
    Leftovers left;
    std::optional<FailingCard> card;  // torn down first
};

// ---------------------------------------------------------------- answering

TEST_F(FailingCardFs, PassesTheProgramsCardCallsThrough) {
    bool listed = false;
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    ASSERT_TRUE(table.open(QIODevice::ReadOnly));
    for (const QByteArray& line : table.readAll().split('\n'))
        listed = listed || (line.contains(" " + QFile::encodeName(card->mountPoint()) + " ") &&
                            line.contains(" - fuse.failing_card_fs "));
    EXPECT_TRUE(listed) << "the mount table names it a FUSE volume";

    // The card's folder, opened beneath the root as the program does.
    const int root = openOnCard({}, O_RDONLY | O_DIRECTORY);
    ASSERT_GE(root, 0) << std::strerror(errno);
    ASSERT_EQ(errorOf(::mkdirat(root, "MORVEL", 0755)), 0);
    const int folder =
        kept(::openat(root, "MORVEL", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    ASSERT_GE(folder, 0) << std::strerror(errno);
    struct stat rootInfo {};
    struct stat folderInfo {};
    ASSERT_EQ(errorOf(::fstat(root, &rootInfo)), 0);
    ASSERT_EQ(errorOf(::fstat(folder, &folderInfo)), 0);
    EXPECT_EQ(rootInfo.st_dev, folderInfo.st_dev);
    EXPECT_TRUE(S_ISDIR(folderInfo.st_mode));

    // The card info file, read as a small file.
    const int info = ::openat(root, "backbbinfo.cfg", O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    ASSERT_GE(info, 0) << std::strerror(errno);
    char text[64] = {};
    EXPECT_EQ(::read(info, text, sizeof text), 9);
    EXPECT_STREQ(text, "card info");
    ::close(info);

    // A file replaced as the download does: a temporary file written in pieces, flushed,
    // read back past the cache, renamed over the target, the folder flushed.
    writeFile(backing.filePath("MORVEL/rp_cam.idb"), "old database");
    EXPECT_EQ(::unlinkat(folder, "rp_cam.idb.part", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    const int temp = kept(::openat(folder, "rp_cam.idb.part",
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    ASSERT_GE(temp, 0) << std::strerror(errno);
    struct stat old {};
    ASSERT_EQ(errorOf(::fstatat(folder, "rp_cam.idb", &old, AT_SYMLINK_NOFOLLOW)), 0);
    EXPECT_EQ(old.st_size, 12);
    EXPECT_EQ(errorOf(::fchmod(temp, old.st_mode & 07777)), 0);
    const QByteArray data = pattern(3 * 1024 * 1024 + 17);
    for (qsizetype done = 0; done < data.size();) {
        const qsizetype piece = std::min<qsizetype>(1024 * 1024, data.size() - done);
        const ssize_t n = ::write(temp, data.constData() + done, static_cast<size_t>(piece));
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += n;
    }
    EXPECT_EQ(errorOf(::fsync(temp)), 0);
    EXPECT_EQ(::posix_fadvise(temp, 0, 0, POSIX_FADV_DONTNEED), 0);
    EXPECT_EQ(::posix_fadvise(temp, 0, 0, POSIX_FADV_SEQUENTIAL), 0);
    QByteArray back(data.size(), '\0');
    EXPECT_EQ(::pread(temp, back.data(), static_cast<size_t>(back.size()), 0), back.size());
    EXPECT_TRUE(back == data);
    struct stat written {};
    struct stat named {};
    ASSERT_EQ(errorOf(::fstat(temp, &written)), 0);
    ASSERT_EQ(errorOf(::fstatat(folder, "rp_cam.idb.part", &named, AT_SYMLINK_NOFOLLOW)), 0);
    EXPECT_EQ(named.st_ino, written.st_ino);
    EXPECT_EQ(named.st_dev, written.st_dev);
    EXPECT_EQ(written.st_size, data.size());
    EXPECT_EQ(written.st_mode & 07777, old.st_mode & 07777);
    EXPECT_EQ(errorOf(::renameat(folder, "rp_cam.idb.part", folder, "rp_cam.idb")), 0);
    EXPECT_EQ(errorOf(::fsync(folder)), 0);
    EXPECT_TRUE(readAll(backing.filePath("MORVEL/rp_cam.idb")) == data);
    EXPECT_FALSE(QFile::exists(backing.filePath("MORVEL/rp_cam.idb.part")));

    // The card lock: a second program's lock of the same folder is refused.
    const int again = openOnCard("MORVEL", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(again, 0);
    EXPECT_EQ(errorOf(::flock(folder, LOCK_EX | LOCK_NB)), 0);
    EXPECT_EQ(errorOf(::flock(again, LOCK_EX | LOCK_NB)), EWOULDBLOCK);
    EXPECT_EQ(errorOf(::flock(folder, LOCK_UN)), 0);
    EXPECT_EQ(errorOf(::flock(again, LOCK_EX | LOCK_NB)), 0);

    // Free space and the volume flush.
    struct statvfs mounted {};
    struct statvfs underneath {};
    ASSERT_EQ(errorOf(::fstatvfs(folder, &mounted)), 0);
    ASSERT_EQ(errorOf(::statvfs(QFile::encodeName(backing.path()).constData(), &underneath)), 0);
    EXPECT_EQ(mounted.f_blocks * mounted.f_frsize, underneath.f_blocks * underneath.f_frsize);
    EXPECT_EQ(mounted.f_flag & ST_RDONLY, 0u);
    EXPECT_EQ(errorOf(::syncfs(root)), 0);

    // The old file of a failed download goes.
    EXPECT_EQ(errorOf(::unlinkat(folder, "rp_cam.idb", 0)), 0);
    EXPECT_FALSE(QFile::exists(backing.filePath("MORVEL/rp_cam.idb")));
}

TEST_F(FailingCardFs, PassesTheOtherCallsThrough) {
    const int root = openOnCard({}, O_RDONLY | O_DIRECTORY);
    ASSERT_GE(root, 0);
    writeFile(backing.filePath("a"), "first");
    writeFile(backing.filePath("b"), "second");

    // What a card may hold in place of a file: a link, a pipe, a folder.
    EXPECT_EQ(errorOf(::symlinkat("backbbinfo.cfg", root, "link")), 0);
    struct stat info {};
    ASSERT_EQ(errorOf(::fstatat(root, "link", &info, AT_SYMLINK_NOFOLLOW)), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    char target[64] = {};
    EXPECT_EQ(::readlinkat(root, "link", target, sizeof target - 1), 14);
    EXPECT_STREQ(target, "backbbinfo.cfg");
    EXPECT_EQ(errorOf(::openat(root, "link", O_RDONLY | O_NOFOLLOW)), ELOOP);
    EXPECT_EQ(errorOf(::mkfifoat(root, "pipe", 0644)), 0);
    ASSERT_EQ(errorOf(::fstatat(root, "pipe", &info, AT_SYMLINK_NOFOLLOW)), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_TRUE(QFileInfo(backing.filePath("pipe")).exists());
    EXPECT_EQ(errorOf(::mkdirat(root, "folder", 0755)), 0);
    EXPECT_EQ(errorOf(::unlinkat(root, "folder", 0)), EISDIR);
    EXPECT_EQ(errorOf(::unlinkat(root, "folder", AT_REMOVEDIR)), 0);
    EXPECT_FALSE(QFileInfo::exists(backing.filePath("folder")));

    // Renames keep their flags.
    EXPECT_EQ(errorOf(::renameat2(root, "a", root, "b", RENAME_NOREPLACE)), EEXIST);
    EXPECT_EQ(errorOf(::renameat2(root, "a", root, "b", RENAME_EXCHANGE)), 0);
    EXPECT_EQ(readAll(backing.filePath("a")), "second");
    EXPECT_EQ(readAll(backing.filePath("b")), "first");

    // Attributes, times and length.
    EXPECT_EQ(errorOf(::fchmodat(root, "a", 0600, 0)), 0);
    struct stat under {};
    ASSERT_EQ(errorOf(::stat(QFile::encodeName(backing.filePath("a")).constData(), &under)), 0);
    EXPECT_EQ(under.st_mode & 07777, 0600u);
    const timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    EXPECT_EQ(errorOf(::utimensat(root, "a", times, AT_SYMLINK_NOFOLLOW)), 0);
    EXPECT_EQ(QFileInfo(backing.filePath("a")).lastModified().toSecsSinceEpoch(), 1200000000);
    EXPECT_EQ(errorOf(::truncate(onCard("a").constData(), 2)), 0);
    EXPECT_EQ(readAll(backing.filePath("a")), "se");
    EXPECT_EQ(errorOf(::faccessat(root, "a", R_OK | W_OK, 0)), 0);

    // A listing, which the kernel asks for in pieces.
    for (int i = 0; i < 300; ++i)
        writeFile(backing.filePath(QStringLiteral("many/file-%1-with-a-long-name").arg(i)), "x");
    DIR* listing = ::opendir(onCard("many").constData());
    ASSERT_NE(listing, nullptr);
    int files = 0;
    while (dirent* entry = ::readdir(listing))
        files += entry->d_name[0] != '.';
    ::closedir(listing);
    EXPECT_EQ(files, 300);
}

// ---------------------------------------------------------------- slow

TEST_F(FailingCardFs, SlowDelaysEveryCall) {
    ASSERT_TRUE(card->slow(300));
    QElapsedTimer timer;
    timer.start();
    struct stat info {};
    EXPECT_EQ(errorOf(::stat(onCard("backbbinfo.cfg").constData(), &info)), 0);
    EXPECT_GE(timer.elapsed(), 300);
    EXPECT_EQ(info.st_size, 9);

    // A call the card has begun to delay is held by a hang, and goes on at once after it.
    ASSERT_TRUE(card->slow(60 * 1000));
    auto& call = inBackground([this] {
        struct stat info {};
        return ::stat(onCard("backbbinfo.cfg").constData(), &info);
    });
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(card->hang());
    ASSERT_TRUE(card->waitUntilWaiting(1, kBoundMs));
    ASSERT_TRUE(card->release());
    ASSERT_TRUE(finishes(call));
    EXPECT_EQ(call.get(), 0);
}

// ---------------------------------------------------------------- hang

struct HangEnd {
    const char* name;
    std::function<bool(FailingCard&)> end;
    // What the held calls end with. A call in flight when the connection is aborted ends
    // with ECONNABORTED; one that the kernel makes again after that, with ENOTCONN.
    std::vector<int> errors;
};

class HangingCard : public FailingCardFs, public ::testing::WithParamInterface<HangEnd> {};

TEST_P(HangingCard, HoldsEveryCallUntilItEnds) {
    const int file = openOnCard("backbbinfo.cfg", O_RDONLY);
    ASSERT_GE(file, 0);
    ASSERT_TRUE(card->hang());
    auto& stat = inBackground([this] {
        struct stat info {};
        return ::stat(onCard("backbbinfo.cfg").constData(), &info);
    });
    auto& read = inBackground([file] {
        char byte;
        return ::pread(file, &byte, 1, 0) == 1 ? 0 : -1;
    });
    ASSERT_TRUE(card->waitUntilWaiting(2, kBoundMs)) << card->waiting() << " held";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(card->waiting(), 2);
    EXPECT_EQ(stat.wait_for(0ms), std::future_status::timeout);
    EXPECT_EQ(read.wait_for(0ms), std::future_status::timeout);

    ASSERT_TRUE(GetParam().end(*card));
    ASSERT_TRUE(finishes(stat));
    ASSERT_TRUE(finishes(read));
    EXPECT_THAT(stat.get(), ::testing::AnyOfArray(GetParam().errors));
    EXPECT_THAT(read.get(), ::testing::AnyOfArray(GetParam().errors));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, HangingCard,
    ::testing::Values(HangEnd{"Release", [](FailingCard& c) { return c.release(); }, {0}},
                      HangEnd{"Worn", [](FailingCard& c) { return c.eio(); }, {EIO}},
                      HangEnd{"Pulled", [](FailingCard& c) { return c.gone(); }, {ENOTCONN}},
                      HangEnd{"Aborted",
                              [](FailingCard& c) { return c.abortConnection(); },
                              {ENOTCONN, ECONNABORTED}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FailingCardFs, AReleasedCardAnswersAgain) {
    ASSERT_TRUE(card->hang());
    auto& held =
        inBackground([this] { return ::access(onCard("backbbinfo.cfg").constData(), R_OK); });
    ASSERT_TRUE(card->waitUntilWaiting(1, kBoundMs));
    ASSERT_TRUE(card->release());
    ASSERT_TRUE(finishes(held));
    EXPECT_EQ(card->waiting(), 0);
    EXPECT_EQ(readAll(card->mountPoint() + "/backbbinfo.cfg"), "card info");
}

TEST_F(FailingCardFs, TearingDownReleasesHeldCalls) {
    ASSERT_TRUE(card->hang());
    auto& held = inBackground([this] {
        struct stat info {};
        return ::stat(onCard("backbbinfo.cfg").constData(), &info);
    });
    ASSERT_TRUE(card->waitUntilWaiting(1, kBoundMs));
    const QString point = card->mountPoint();
    card.reset();
    ASSERT_TRUE(finishes(held));
    EXPECT_FALSE(FailingCard::isMountedAt(point));
}

// A process stuck on the card cannot be killed until the card answers or the connection
// ends: the kernel waits for a call the file system has taken.
class StuckProcess : public FailingCardFs, public ::testing::WithParamInterface<HangEnd> {};

TEST_P(StuckProcess, EndsOnceTheCallEnds) {
    const QByteArray path = onCard("backbbinfo.cfg");
    ASSERT_TRUE(card->hang());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct stat info {};
        ::stat(path.constData(), &info);
        ::_exit(0);
    }
    left.children.push_back(child);
    ASSERT_TRUE(card->waitUntilWaiting(1, kBoundMs));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0) << "killed while the card holds its call";

    ASSERT_TRUE(GetParam().end(*card));
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < kBoundMs / 10 && (ended = ::waitpid(child, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(ended, child);
    left.children.clear();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, StuckProcess,
    ::testing::Values(HangEnd{"Release", [](FailingCard& c) { return c.release(); }, {0}},
                      HangEnd{"Aborted",
                              [](FailingCard& c) { return c.abortConnection(); },
                              {ENOTCONN, ECONNABORTED}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- failing

struct Failing {
    const char* name;
    std::function<bool(FailingCard&)> start;
    int error;
};

class FailingCalls : public FailingCardFs, public ::testing::WithParamInterface<Failing> {};

TEST_P(FailingCalls, FailEveryCallUntilNormal) {
    writeFile(backing.filePath("MORVEL/rp_cam.idb"), "old database");
    const int root = openOnCard({}, O_RDONLY | O_DIRECTORY);
    const int folder = openOnCard("MORVEL", O_RDONLY | O_DIRECTORY);
    const int file = openOnCard("MORVEL/rp_cam.idb", O_RDONLY);
    const int written = openOnCard("MORVEL/new", O_RDWR | O_CREAT | O_EXCL);
    ASSERT_TRUE(root >= 0 && folder >= 0 && file >= 0 && written >= 0);
    const QByteArray data = pattern(256 * 1024);
    ASSERT_EQ(::write(written, data.constData(), static_cast<size_t>(data.size())), data.size());

    ASSERT_TRUE(GetParam().start(*card));
    const struct {
        const char* name;
        std::function<long()> call;
    } calls[] = {
        {"stat",
         [&] {
             struct stat s {};
             return ::fstatat(folder, "rp_cam.idb", &s, AT_SYMLINK_NOFOLLOW);
         }},
        {"fstat",
         [&] {
             struct stat s {};
             return ::fstat(file, &s);
         }},
        {"open", [&] { return kept(::openat(folder, "rp_cam.idb", O_RDONLY | O_CLOEXEC)); }},
        {"open folder",
         [&] {
             return kept(::openat(root, "MORVEL", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
         }},
        {"create",
         [&] {
             return kept(::openat(folder, "other", O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
         }},
        {"read",
         [&] {
             char b[16];
             return ::pread(file, b, sizeof b, 0);
         }},
        {"read back",
         [&] {
             char b[16];
             return ::pread(written, b, sizeof b, 4096);
         }},
        {"write", [&] { return ::pwrite(written, "x", 1, 0); }},
        {"fsync", [&] { return ::fsync(written); }},
        {"fsync folder", [&] { return ::fsync(folder); }},
        {"statvfs",
         [&] {
             struct statvfs s {};
             return ::fstatvfs(folder, &s);
         }},
        {"rename", [&] { return ::renameat(folder, "new", folder, "rp_cam.idb"); }},
        {"unlink", [&] { return ::unlinkat(folder, "rp_cam.idb", 0); }},
        {"mkdir", [&] { return ::mkdirat(root, "DB", 0755); }},
        {"list",
         [&] {
             DIR* d = ::opendir(onCard({}).constData());
             if (d)
                 ::closedir(d);
             return d ? 0L : -1L;
         }},
    };
    for (const auto& call : calls)
        EXPECT_EQ(errorOf(call.call()), GetParam().error) << call.name;

    // Nothing on the card has changed, and it answers again.
    ASSERT_TRUE(card->normal());
    EXPECT_EQ(readAll(backing.filePath("MORVEL/rp_cam.idb")), "old database");
    EXPECT_TRUE(readAll(backing.filePath("MORVEL/new")) == data);
    EXPECT_FALSE(QFileInfo::exists(backing.filePath("DB")));
    EXPECT_FALSE(QFileInfo::exists(backing.filePath("MORVEL/other")));
    struct stat info {};
    EXPECT_EQ(errorOf(::fstatat(folder, "rp_cam.idb", &info, AT_SYMLINK_NOFOLLOW)), 0);
    char b[16];
    EXPECT_EQ(::pread(written, b, sizeof b, 4096), 16);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FailingCalls,
    ::testing::Values(Failing{"Worn", [](FailingCard& c) { return c.eio(); }, EIO},
                      Failing{"Pulled", [](FailingCard& c) { return c.gone(); }, ENOTCONN}),
    [](const auto& info) { return std::string(info.param.name); });

class FailingWrites : public FailingCardFs, public ::testing::WithParamInterface<int> {};

TEST_P(FailingWrites, FailAfterTheGivenBytes) {
    const int error = GetParam();
    constexpr qint64 kAllowed = 1000003;
    const int file = openOnCard("rp_cam.idb.part", O_RDWR | O_CREAT | O_EXCL);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "before", 6), 6);
    ASSERT_TRUE(card->failWritesAfter(kAllowed, error));

    // A larger file's writes, in the pieces a download makes.
    const QByteArray data = pattern(4 * kAllowed);
    qint64 written = 0;
    int failure = 0;
    while (written < data.size()) {
        const qsizetype piece = std::min<qsizetype>(64 * 1024, data.size() - written);
        const ssize_t n = ::write(file, data.constData() + written, static_cast<size_t>(piece));
        if (n < 0) {
            failure = errno;
            break;
        }
        written += n;
    }
    EXPECT_EQ(failure, error);
    EXPECT_EQ(written, kAllowed);
    EXPECT_EQ(errorOf(::write(file, "x", 1)), error) << "every later write fails too";

    // Other calls answer.
    struct stat info {};
    EXPECT_EQ(errorOf(::fstat(file, &info)), 0);
    EXPECT_EQ(info.st_size, 6 + kAllowed);
    EXPECT_EQ(errorOf(::fsync(file)), 0);
    char head[6];
    EXPECT_EQ(::pread(file, head, sizeof head, 0), 6);
    EXPECT_EQ(readAll(card->mountPoint() + "/backbbinfo.cfg"), "card info");
    EXPECT_EQ(QFileInfo(backing.filePath("rp_cam.idb.part")).size(), 6 + kAllowed);

    ASSERT_TRUE(card->normal());
    EXPECT_EQ(::write(file, "x", 1), 1);
}

INSTANTIATE_TEST_SUITE_P(Errors, FailingWrites, ::testing::Values(EIO, ENOSPC),
                         [](const auto& info) {
                             return std::string(info.param == EIO ? "Eio" : "Enospc");
                         });

}  // namespace
