#include "support/failing_card.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#ifndef DRIVORO_FAILING_CARD_FS
#define DRIVORO_FAILING_CARD_FS ""
#endif

namespace {

constexpr int kAnswerMs = 5000;
constexpr int kQuitMs = 2000;
const char kFuseType[] = "fuse.failing_card_fs";
const char kConnections[] = "/sys/fs/fuse/connections";

struct Mount {
    QByteArray point;
    QByteArray type;
    unsigned major = 0;
    unsigned minor = 0;
};

// The mount table's "\040"-style escapes undone.
QByteArray unescaped(const QByteArray& field) {
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += static_cast<char>(code);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// Read from /proc, never from the mounts themselves.
std::vector<Mount> mounts() {
    std::vector<Mount> found;
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() < 5 || dash < 0 || dash + 1 >= fields.size())
            continue;
        const QList<QByteArray> device = fields[2].split(':');
        if (device.size() != 2)
            continue;
        found.push_back(
            {unescaped(fields[4]), fields[dash + 1], device[0].toUInt(), device[1].toUInt()});
    }
    return found;
}

const Mount* mountAt(const std::vector<Mount>& table, const QString& point, const char* type) {
    const QByteArray name = QFile::encodeName(point);
    const Mount* last = nullptr;
    for (const Mount& mount : table) {
        if (mount.point == name && mount.type == type)
            last = &mount;
    }
    return last;
}

}  // namespace

QString FailingCard::unavailableReason() {
    const QString tool = QStringLiteral(DRIVORO_FAILING_CARD_FS);
    if (tool.isEmpty())
        return QStringLiteral("the failing card needs libfuse3 at build time");
    if (::geteuid() != 0)
        return QStringLiteral("the failing card needs root to mount");
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return QStringLiteral("the failing card needs /dev/fuse");
    if (!QFileInfo(tool).isExecutable())
        return QStringLiteral("the failing card's tool is missing: ") + tool;
    return {};
}

bool FailingCard::isMountedAt(const QString& mountPoint) {
    return mountAt(mounts(), mountPoint, kFuseType) != nullptr;
}

FailingCard::FailingCard(const QString& backingFolder) {
    if (const QString why = unavailableReason(); !why.isEmpty()) {
        ADD_FAILURE() << why.toStdString();
        return;
    }
    QByteArray folder =
        QFile::encodeName(QDir::tempPath() + QStringLiteral("/failing-card-XXXXXX"));
    if (!::mkdtemp(folder.data())) {
        ADD_FAILURE() << "no folder to mount the failing card at: " << std::strerror(errno);
        return;
    }
    // Resolved while nothing is mounted there: the mount table names it so.
    mountPoint_ = QFileInfo(QFile::decodeName(folder)).canonicalFilePath();
    tool_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that dies with a thread stuck on the card keeps its end of the tool's input open
    // (the stuck thread holds the descriptors), so the tool also quits when this thread ends.
    tool_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    tool_.start(QStringLiteral(DRIVORO_FAILING_CARD_FS), {backingFolder, mountPoint_});
    const QByteArray first = readLine(kAnswerMs);
    if (first != "ready") {
        ADD_FAILURE() << "the failing card did not mount: "
                      << (first.isEmpty() ? tool_.errorString().toStdString()
                                          : first.toStdString());
        tearDown();
        return;
    }
    const std::vector<Mount> table = mounts();
    if (const Mount* mount = mountAt(table, mountPoint_, kFuseType)) {
        // The kernel's own device number, as the connection's folder is named.
        connection_ = static_cast<int>((mount->major << 20) | mount->minor);
    } else {
        ADD_FAILURE() << "the failing card is not in the mount table at "
                      << mountPoint_.toStdString();
        tearDown();
    }
}

FailingCard::~FailingCard() {
    tearDown();
}

QByteArray FailingCard::readLine(int ms) {
    QDeadlineTimer deadline(ms);
    while (!tool_.canReadLine()) {
        if (deadline.hasExpired())
            return {};
        const int left = static_cast<int>(std::max<qint64>(1, deadline.remainingTime()));
        if (!tool_.waitForReadyRead(left) && tool_.state() == QProcess::NotRunning &&
            !tool_.canReadLine())
            return {};
    }
    return tool_.readLine().trimmed();
}

QByteArray FailingCard::ask(const QByteArray& command, int ms) {
    if (tool_.state() != QProcess::Running)
        return {};
    tool_.write(command + '\n');
    tool_.waitForBytesWritten(ms);
    return readLine(ms);
}

bool FailingCard::command(const QByteArray& line) {
    const QByteArray answer = ask(line, kAnswerMs);
    if (answer == "ok")
        return true;
    ADD_FAILURE() << "failing card, " << line.toStdString() << ": "
                  << (answer.isEmpty() ? "no answer" : answer.toStdString());
    return false;
}

bool FailingCard::normal() {
    return command("normal");
}

bool FailingCard::slow(int ms) {
    return command("slow " + QByteArray::number(ms));
}

bool FailingCard::hang() {
    return command("hang");
}

bool FailingCard::release() {
    return command("release");
}

bool FailingCard::eio() {
    return command("eio");
}

bool FailingCard::failWritesAfter(qint64 bytes, int error) {
    if (error != EIO && error != ENOSPC) {
        ADD_FAILURE() << "a failing card's writes fail with EIO or ENOSPC, not " << error;
        return false;
    }
    return command("fail-writes " + QByteArray::number(bytes) +
                   (error == EIO ? " eio" : " enospc"));
}

bool FailingCard::gone() {
    return command("gone");
}

int FailingCard::waiting() {
    const QByteArray answer = ask("waiting", kAnswerMs);
    bool ok = false;
    const int calls = answer.toInt(&ok);
    if (ok)
        return calls;
    ADD_FAILURE() << "failing card, waiting: "
                  << (answer.isEmpty() ? "no answer" : answer.toStdString());
    return -1;
}

bool FailingCard::waitUntilWaiting(int calls, int ms) {
    QDeadlineTimer deadline(ms);
    for (;;) {
        const int now = waiting();
        if (now >= calls)
            return true;
        if (now < 0 || deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool FailingCard::abortConnection() {
    if (connection_ < 0)
        return false;
    const QString folder = QString::fromLatin1(kConnections);
    // The connections are listed only where fusectl is mounted; mounted here, it goes again.
    bool mountedHere = false;
    if (!mountAt(mounts(), folder, "fusectl")) {
        if (::mount("fusectl", kConnections, "fusectl", 0, nullptr) != 0)
            return false;
        mountedHere = true;
    }
    const QByteArray abortFile =
        QFile::encodeName(folder + QLatin1Char('/') + QString::number(connection_) + "/abort");
    bool aborted = false;
    const int fd = ::open(abortFile.constData(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        aborted = ::write(fd, "1", 1) == 1;
        ::close(fd);
    }
    if (mountedHere)
        ::umount2(kConnections, MNT_DETACH);
    return aborted;
}

void FailingCard::tearDown() {
    if (tool_.state() != QProcess::NotRunning) {
        // quit releases every held call first, then unmounts.
        tool_.write("quit\n");
        tool_.waitForBytesWritten(kQuitMs);
        tool_.closeWriteChannel();
        if (!tool_.waitForFinished(kQuitMs)) {
            ADD_FAILURE() << "the failing card's tool did not quit; its connection is aborted";
            abortConnection();
            if (!mountPoint_.isEmpty())
                ::umount2(QFile::encodeName(mountPoint_).constData(), MNT_DETACH);
            tool_.kill();
            tool_.waitForFinished(kQuitMs);
        }
    }
    if (tool_.exitStatus() != QProcess::NormalExit || tool_.exitCode() != 0)
        ADD_FAILURE() << "the failing card's tool ended badly: " << tool_.exitCode();
    if (mountPoint_.isEmpty())
        return;
    const QByteArray point = QFile::encodeName(mountPoint_);
    // A tool that died leaves its mount behind, answering ENOTCONN.
    if (isMountedAt(mountPoint_))
        ::umount2(point.constData(), MNT_DETACH);
    if (isMountedAt(mountPoint_))
        ADD_FAILURE() << "the failing card stays mounted at " << mountPoint_.toStdString();
    else
        ::rmdir(point.constData());
}
