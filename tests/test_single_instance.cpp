#ifdef _WIN32
#include "support/windows_acl.h"
#endif

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>

#include "platform/single_instance.h"

namespace {

// Until the program started with home has claimed its single instance (its lock names it; on
// Windows, the program's mutex is there), or has ended, or 30 s have passed.
bool waitUntilClaimed(QProcess* program, const QString& home) {
    QElapsedTimer waited;
    waited.start();
    while (program->state() == QProcess::Running && waited.elapsed() < 30000) {
#ifdef _WIN32
        Q_UNUSED(home);
        if (const HANDLE mutex =
                OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\MORVEL_Drivoro_UpdateManager")) {
            CloseHandle(mutex);
            return true;
        }
#else
        const QDir config(home + QStringLiteral("/.config"));
        for (const QString& name :
             config.entryList({QStringLiteral("MORVEL_Drivoro-*.lock")}, QDir::Files)) {
            QFile lock(config.filePath(name));
            if (lock.open(QIODevice::ReadOnly) &&
                lock.readLine().trimmed().toLongLong() == program->processId())
                return true;
        }
#endif
        program->waitForFinished(20);
    }
    return false;
}

QProcess* startProgram(const QString& home, QObject* owner) {
    auto* program = new QProcess(owner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("USERPROFILE"), home);
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program->setProcessEnvironment(environment);
    program->start(QStringLiteral(DRIVORO_PROGRAM_EXE), {});
    return program;
}

// A second start of the same user's program opens nothing: it asks the first to come forward
// and ends, and the first goes on (a signal it did not expect would end it).
TEST(SingleInstance, SecondStartEndsAndTheFirstStays) {
    QTemporaryDir home;
    QObject owner;
    QProcess* first = startProgram(home.path(), &owner);
    ASSERT_TRUE(first->waitForStarted(10000));
    ASSERT_TRUE(waitUntilClaimed(first, home.path())) << first->readAllStandardError().constData();

    QProcess* second = startProgram(home.path(), &owner);
    ASSERT_TRUE(second->waitForFinished(20000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);

    EXPECT_FALSE(first->waitForFinished(1000)) << first->readAllStandardError().constData();
    EXPECT_EQ(first->state(), QProcess::Running);
    first->kill();
    first->waitForFinished(10000);

    // Another user's (another home's) program is a program of its own.
    QTemporaryDir otherHome;
    QProcess* other = startProgram(otherHome.path(), &owner);
    ASSERT_TRUE(other->waitForStarted(10000));
    EXPECT_TRUE(waitUntilClaimed(other, otherHome.path()));
    other->kill();
    other->waitForFinished(10000);
}

// A lock left by a program that was killed does not keep the next start out.
TEST(SingleInstance, LockOfAKilledProgramDoesNotCount) {
    QTemporaryDir home;
    QObject owner;
    QProcess* first = startProgram(home.path(), &owner);
    ASSERT_TRUE(first->waitForStarted(10000));
    ASSERT_TRUE(waitUntilClaimed(first, home.path()));
    first->kill();
    first->waitForFinished(10000);

    QProcess* next = startProgram(home.path(), &owner);
    ASSERT_TRUE(next->waitForStarted(10000));
    EXPECT_TRUE(waitUntilClaimed(next, home.path())) << next->readAllStandardError().constData();
    next->kill();
    next->waitForFinished(10000);
}

// A lock left by a killed copy whose process number this one has been given again (after a
// restart; always under Wine) names no other copy: the program starts.
TEST(SingleInstance, LockNamingThisVeryProcessDoesNotCount) {
    QStandardPaths::setTestModeEnabled(true);
    const QString path = platform::SingleInstance::lockPath();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::number(QCoreApplication::applicationPid()) +
                   "\ndrivoro-update-manager\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    }
    {
        platform::SingleInstance instance;
        EXPECT_TRUE(instance.claim([] {}));
    }
    QFile::remove(path);
    QStandardPaths::setTestModeEnabled(false);
}

#ifndef _WIN32
// A home folder shared with another computer holds that computer's lock: it does not keep
// this computer's program from starting. (Windows keeps the lock in the local, unshared
// application data.)
TEST(SingleInstance, LockOfAnotherComputerDoesNotCount) {
    QTemporaryDir home;
    const QString config = home.path() + QStringLiteral("/.config");
    ASSERT_TRUE(QDir().mkpath(config));
    // A live process number, as the program on the other computer may well have.
    const QByteArray lock = QByteArray::number(QCoreApplication::applicationPid()) +
                            "\ndrivoro-update-manager\nelsewhere.example\n";
    for (const char* name : {"/MORVEL_Drivoro.lock", "/MORVEL_Drivoro-elsewhere.example.lock"}) {
        QFile file(config + QLatin1String(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(lock);
    }
    QObject owner;
    QProcess* program = startProgram(home.path(), &owner);
    ASSERT_TRUE(program->waitForStarted(10000));
    EXPECT_TRUE(waitUntilClaimed(program, home.path()))
        << program->readAllStandardError().constData();
    program->kill();
    program->waitForFinished(10000);
}
#endif

#ifdef _WIN32
// The name the installer looks for while the program runs: every user's program and the
// installer may open it to wait on it, and no one else may change its security.
TEST(SingleInstance, ProgramsMutexLetsEveryoneWaitAndNothingMore) {
    QTemporaryDir home;
    QObject owner;
    QProcess* program = startProgram(home.path(), &owner);
    ASSERT_TRUE(program->waitForStarted(10000));
    ASSERT_TRUE(waitUntilClaimed(program, home.path()))
        << program->readAllStandardError().constData();
    EXPECT_EQ(accessListOfMutex(QStringLiteral("Global\\MORVEL_Drivoro_UpdateManager")),
              "allow WD 0x100000");
    program->kill();
    program->waitForFinished(10000);
}
#endif

}  // namespace
