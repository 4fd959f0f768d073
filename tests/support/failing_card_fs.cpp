// A folder served as a card that fails on command, for the tests (FailingCard drives it).
//
//   failing_card_fs <backing-folder> <mount-point>
//
// Every call passes through to the backing folder. Commands come on stdin, one a line, and
// each is answered with one line on stdout once applied ("ok", a number, or "error: ..."):
//
//   normal                            answer every call
//   slow <ms>                         wait ms before every call
//   hang                              hold every call, also those waiting in slow, until
//                                     release or another mode
//   release                           back to normal; held calls go on
//   eio                               fail every call with EIO (a worn card)
//   fail-writes <bytes> <eio|enospc>  let writes through until that many more bytes are
//                                     written, then fail every write; other calls normal
//   gone                              fail every call with ENOTCONN (a pulled card)
//   waiting                           the number of calls held by hang now
//   quit                              release, unmount and exit (so do end of input,
//                                     SIGTERM, SIGINT, SIGHUP and an aborted connection)
//
// "ready" is printed once mounted. Root mounts it; the caller's processes run as root too,
// so allow_other is not needed.
#define FUSE_USE_VERSION 35
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

enum class Mode { Normal, Slow, Hang, Eio, FailWrites, Gone };

// What the card does now. Calls wait on it; commands change it.
class Card {
  public:
    // 0 to go on, or the negated errno the call answers with.
    int enter() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const unsigned seen = changes_;
            switch (mode_) {
                case Mode::Normal:
                case Mode::FailWrites:
                    return 0;
                case Mode::Eio:
                    return -EIO;
                case Mode::Gone:
                    return -ENOTCONN;
                case Mode::Slow:
                    // A change of mode ends the wait, so that a hang also holds these calls.
                    if (!changed_.wait_for(lock, delay_, [&] { return changes_ != seen; }))
                        return 0;
                    break;
                case Mode::Hang:
                    ++waiting_;
                    changed_.wait(lock, [&] { return changes_ != seen; });
                    --waiting_;
                    break;
            }
        }
    }

    // How many of size bytes a write may pass on, or the negated errno it fails with.
    long allowWrite(std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (mode_ != Mode::FailWrites)
            return static_cast<long>(std::min<std::size_t>(size, LONG_MAX));
        if (budget_ == 0)
            return -writeError_;
        const auto allowed = static_cast<long long>(std::min<unsigned long long>(size, budget_));
        budget_ -= static_cast<unsigned long long>(allowed);
        return static_cast<long>(allowed);
    }

    void set(Mode mode, std::chrono::milliseconds delay = {}, unsigned long long budget = 0,
             int writeError = 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            mode_ = mode;
            delay_ = delay;
            budget_ = budget;
            writeError_ = writeError;
            ++changes_;
        }
        changed_.notify_all();
    }

    int waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Mode mode_ = Mode::Normal;
    unsigned changes_ = 0;
    std::chrono::milliseconds delay_{0};
    unsigned long long budget_ = 0;
    int writeError_ = 0;
    int waiting_ = 0;
};

Card card;
int root = -1;  // the backing folder
std::string mountPoint;
int wakeFds[2] = {-1, -1};  // a signal or the end of the loop wakes the control thread
fuse_session* session = nullptr;
pthread_t mainThread;
std::atomic<bool> loopEnded{false};

// The backing folder's name for a path of the mount ("/" is the folder itself).
const char* at(const char* path) {
    return path[1] != '\0' ? path + 1 : ".";
}

int ok(long result) {
    return result < 0 ? -errno : 0;
}

int fileOf(const fuse_file_info* fi) {
    return static_cast<int>(fi->fh);
}

// Every call the caller waits for goes through the card first.
template <typename Call>
int gated(Call call) {
    if (const int refused = card.enter(); refused != 0)
        return refused;
    return call();
}

struct Folder {
    DIR* dir;
    dirent* entry = nullptr;  // read but not yet taken by the kernel
    off_t offset = 0;
};

Folder& folderOf(const fuse_file_info* fi) {
    return *reinterpret_cast<Folder*>(fi->fh);
}

void* init(fuse_conn_info* conn, fuse_config* config) {
    // Every lookup, attribute and read reaches the card, so that a failing card is seen
    // (direct_io: no page of a file is answered from the system's cache).
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    config->attr_timeout = 0;
    config->direct_io = 1;
    config->kernel_cache = 0;
    config->auto_cache = 0;
    config->use_ino = 1;
    // Unlinked open files really go, instead of becoming .fuse_hidden files.
    config->hard_remove = 1;
    config->nullpath_ok = 1;
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    return nullptr;
}

int getattr(const char* path, struct stat* info, fuse_file_info* fi) {
    return gated([&] {
        return ok(fi ? ::fstat(fileOf(fi), info)
                     : ::fstatat(root, at(path), info, AT_SYMLINK_NOFOLLOW));
    });
}

int readlink(const char* path, char* buffer, std::size_t size) {
    return gated([&] {
        const ssize_t n = ::readlinkat(root, at(path), buffer, size - 1);
        if (n < 0)
            return -errno;
        buffer[n] = '\0';
        return 0;
    });
}

int mknod(const char* path, mode_t mode, dev_t device) {
    return gated([&] {
        return ok(S_ISFIFO(mode) ? ::mkfifoat(root, at(path), mode)
                                 : ::mknodat(root, at(path), mode, device));
    });
}

int mkdir(const char* path, mode_t mode) {
    return gated([&] { return ok(::mkdirat(root, at(path), mode)); });
}

int unlink(const char* path) {
    return gated([&] { return ok(::unlinkat(root, at(path), 0)); });
}

int rmdir(const char* path) {
    return gated([&] { return ok(::unlinkat(root, at(path), AT_REMOVEDIR)); });
}

int symlink(const char* target, const char* path) {
    return gated([&] { return ok(::symlinkat(target, root, at(path))); });
}

int rename(const char* from, const char* to, unsigned int flags) {
    return gated([&] { return ok(::renameat2(root, at(from), root, at(to), flags)); });
}

int link(const char* from, const char* to) {
    return gated([&] { return ok(::linkat(root, at(from), root, at(to), 0)); });
}

int chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    return gated(
        [&] { return ok(fi ? ::fchmod(fileOf(fi), mode) : ::fchmodat(root, at(path), mode, 0)); });
}

int chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    return gated([&] {
        return ok(fi ? ::fchown(fileOf(fi), uid, gid)
                     : ::fchownat(root, at(path), uid, gid, AT_SYMLINK_NOFOLLOW));
    });
}

int truncate(const char* path, off_t size, fuse_file_info* fi) {
    return gated([&] {
        if (fi)
            return ok(::ftruncate(fileOf(fi), size));
        const int fd = ::openat(root, at(path), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return -errno;
        const int result = ok(::ftruncate(fd, size));
        ::close(fd);
        return result;
    });
}

int utimens(const char* path, const timespec times[2], fuse_file_info* fi) {
    return gated([&] {
        return ok(fi ? ::futimens(fileOf(fi), times)
                     : ::utimensat(root, at(path), times, AT_SYMLINK_NOFOLLOW));
    });
}

int open(const char* path, fuse_file_info* fi) {
    return gated([&] {
        const int fd = ::openat(root, at(path), fi->flags | O_CLOEXEC);
        if (fd < 0)
            return -errno;
        fi->fh = static_cast<uint64_t>(fd);
        return 0;
    });
}

int create(const char* path, mode_t mode, fuse_file_info* fi) {
    return gated([&] {
        const int fd = ::openat(root, at(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
        if (fd < 0)
            return -errno;
        fi->fh = static_cast<uint64_t>(fd);
        return 0;
    });
}

int read(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* fi) {
    return gated([&] {
        const ssize_t n = ::pread(fileOf(fi), buffer, size, offset);
        return n < 0 ? -errno : static_cast<int>(n);
    });
}

int write(const char*, const char* data, std::size_t size, off_t offset, fuse_file_info* fi) {
    return gated([&] {
        const long allowed = card.allowWrite(size);
        if (allowed < 0)
            return static_cast<int>(allowed);
        const ssize_t n = ::pwrite(fileOf(fi), data, static_cast<std::size_t>(allowed), offset);
        return n < 0 ? -errno : static_cast<int>(n);
    });
}

int statfs(const char*, struct statvfs* info) {
    return gated([&] { return ok(::fstatvfs(root, info)); });
}

int flush(const char*, fuse_file_info* fi) {
    // What close() would report on the backing file, without closing it yet.
    return gated([&] { return ok(::close(::dup(fileOf(fi)))); });
}

// Nobody waits for a release (close() has returned already), so it is never held: a held
// release would only count as a waiting call the test did not make.
int release(const char*, fuse_file_info* fi) {
    ::close(fileOf(fi));
    return 0;
}

int fsync(const char*, int dataOnly, fuse_file_info* fi) {
    return gated([&] { return ok(dataOnly ? ::fdatasync(fileOf(fi)) : ::fsync(fileOf(fi))); });
}

int opendir(const char* path, fuse_file_info* fi) {
    return gated([&] {
        const int fd = ::openat(root, at(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return -errno;
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            const int error = errno;
            ::close(fd);
            return -error;
        }
        fi->fh = reinterpret_cast<uint64_t>(new Folder{dir});
        return 0;
    });
}

int readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t offset, fuse_file_info* fi,
            fuse_readdir_flags) {
    return gated([&] {
        Folder& folder = folderOf(fi);
        if (offset != folder.offset) {
            ::seekdir(folder.dir, offset);
            folder.entry = nullptr;
            folder.offset = offset;
        }
        for (;;) {
            if (!folder.entry) {
                errno = 0;
                folder.entry = ::readdir(folder.dir);
                if (!folder.entry)
                    return -errno;
            }
            struct stat info {};
            info.st_ino = folder.entry->d_ino;
            info.st_mode = DTTOIF(folder.entry->d_type);
            const off_t next = ::telldir(folder.dir);
            if (fill(buffer, folder.entry->d_name, &info, next, fuse_fill_dir_flags{}) != 0)
                return 0;  // the kernel's buffer is full; this entry comes first next time
            folder.entry = nullptr;
            folder.offset = next;
        }
    });
}

int releasedir(const char*, fuse_file_info* fi) {
    Folder* folder = &folderOf(fi);
    ::closedir(folder->dir);
    delete folder;
    return 0;
}

int fsyncdir(const char*, int dataOnly, fuse_file_info* fi) {
    return gated([&] {
        const int fd = ::dirfd(folderOf(fi).dir);
        return ok(dataOnly ? ::fdatasync(fd) : ::fsync(fd));
    });
}

int access(const char* path, int mask) {
    return gated([&] { return ok(::faccessat(root, at(path), mask, 0)); });
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.getattr = getattr;
    ops.readlink = readlink;
    ops.mknod = mknod;
    ops.mkdir = mkdir;
    ops.unlink = unlink;
    ops.rmdir = rmdir;
    ops.symlink = symlink;
    ops.rename = rename;
    ops.link = link;
    ops.chmod = chmod;
    ops.chown = chown;
    ops.truncate = truncate;
    ops.open = open;
    ops.read = read;
    ops.write = write;
    ops.statfs = statfs;
    ops.flush = flush;
    ops.release = release;
    ops.fsync = fsync;
    ops.opendir = opendir;
    ops.readdir = readdir;
    ops.releasedir = releasedir;
    ops.fsyncdir = fsyncdir;
    ops.init = init;
    ops.access = access;
    ops.create = create;
    ops.utimens = utimens;
    return ops;
}

void say(const std::string& line) {
    const std::string text = line + '\n';
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // nobody listens any more
        done += static_cast<std::size_t>(n);
    }
}

void wake() {
    const char byte = 0;
    (void)!::write(wakeFds[1], &byte, 1);
}

void onSignal(int) {
    const int saved = errno;
    wake();
    errno = saved;
}

void onInterrupt(int) {}

void unmount() {
    const char* point = mountPoint.c_str();
    if (::umount2(point, 0) == 0 || errno == EINVAL)
        return;
    if (errno == EBUSY) {
        // A file is still open on the card: the mount goes from the table now, and its open
        // files answer ENOTCONN once this process has ended.
        ::umount2(point, MNT_DETACH);
    } else if (errno == EPERM) {
        const char* argv[] = {"fusermount3", "-u", "-z", point, nullptr};
        pid_t pid;
        if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) == 0)
            ::waitpid(pid, nullptr, 0);
    }
}

// The answer to one command line.
std::string apply(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    std::string answer = "ok";
    if (word == "normal" || word == "release") {
        card.set(Mode::Normal);
    } else if (word == "slow") {
        long long ms = -1;
        if (!(in >> ms) || ms < 0)
            return "error: slow <ms>";
        card.set(Mode::Slow, std::chrono::milliseconds(ms));
    } else if (word == "hang") {
        card.set(Mode::Hang);
    } else if (word == "eio") {
        card.set(Mode::Eio);
    } else if (word == "fail-writes") {
        long long bytes = -1;
        std::string error;
        if (!(in >> bytes >> error) || bytes < 0 || (error != "eio" && error != "enospc"))
            return "error: fail-writes <bytes> <eio|enospc>";
        card.set(Mode::FailWrites, {}, static_cast<unsigned long long>(bytes),
                 error == "eio" ? EIO : ENOSPC);
    } else if (word == "gone") {
        card.set(Mode::Gone);
    } else if (word == "waiting") {
        answer = std::to_string(card.waiting());
    } else {
        return "error: unknown command: " + line;
    }
    std::string extra;
    if (in >> extra)
        return "error: too many words: " + line;
    return answer;
}

// Reads commands until quit, the end of input, a signal or the end of the connection; then
// releases every held call and unmounts, which ends the loop of the main thread.
void control(int fuseFd) {
    std::string pending;
    bool quitAsked = false;
    for (bool running = true; running;) {
        pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0}, {wakeFds[0], POLLIN, 0}, {fuseFd, 0, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // An aborted connection: the held calls must still return before the loop can end.
        if (fds[1].revents != 0 || fds[2].revents != 0)
            break;
        if (fds[0].revents == 0)
            continue;
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; running && (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line == "quit") {
                quitAsked = true;
                running = false;
            } else {
                say(apply(line));
            }
        }
    }
    card.set(Mode::Normal);
    unmount();
    // A mount still in use keeps the connection, and with it the loop, alive: end the loop
    // here. Its main thread waits interruptibly for the end of the session; a signal that
    // comes just before it waits is lost, hence again until it has ended.
    fuse_session_exit(session);
    while (!loopEnded) {
        ::pthread_kill(mainThread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (quitAsked)
        say("ok");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <backing-folder> <mount-point>\n", argv[0]);
        return 2;
    }
    root = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        std::fprintf(stderr, "failing_card_fs: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    char* resolved = ::realpath(argv[2], nullptr);
    if (!resolved) {
        std::fprintf(stderr, "failing_card_fs: %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    mountPoint = resolved;
    std::free(resolved);

    if (::pipe2(wakeFds, O_CLOEXEC) != 0)
        return 1;
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onSignal;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    action.sa_handler = onInterrupt;
    ::sigaction(SIGUSR1, &action, nullptr);

    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, argv[0]);
    fuse_opt_add_arg(&args, "-o");
    fuse_opt_add_arg(&args, "fsname=failing_card,subtype=failing_card_fs");
    const fuse_operations ops = operations();
    fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (!fs)
        return 1;
    if (fuse_mount(fs, mountPoint.c_str()) != 0) {
        fuse_destroy(fs);
        return 1;
    }
    say("ready");
    session = fuse_get_session(fs);
    mainThread = ::pthread_self();
    std::thread controller(control, fuse_session_fd(session));
    fuse_loop_config* config = fuse_loop_cfg_create();
    // Held calls each keep a thread; the others still need some.
    fuse_loop_cfg_set_max_threads(config, 64);
    const int result = fuse_loop_mt(fs, config);
    fuse_loop_cfg_destroy(config);
    loopEnded = true;
    wake();
    controller.join();
    fuse_destroy(fs);
    fuse_opt_free_args(&args);
    return result == 0 ? 0 : 1;
}
