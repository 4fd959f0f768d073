#ifdef _WIN32
#include <windows.h>

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
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "app/startup.h"
#include "card/card_access.h"
#include "card/database_download.h"
#include "platform/card_lock.h"
#include "platform/folder_handle.h"
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

QProcessEnvironment userEnvironment(const QString& home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("USERPROFILE"), home);
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

QProcess* startProgram(const QString& home, QObject* owner) {
    auto* program = new QProcess(owner);
    program->setProcessEnvironment(userEnvironment(home));
    program->start(QStringLiteral(DRIVORO_PROGRAM_EXE), {});
    return program;
}

// Reads the process's lines until one equals line; false when it ends or stays silent.
bool waitForLine(QProcess& process, const QByteArray& line) {
    for (;;) {
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(30000))
                return false;
        }
        if (process.readLine().trimmed() == line)
            return true;
    }
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

// ------------------------------------------------------------------ a hung exit

// The program's end while a call on a card is stuck, in a process of its own: it holds the
// single instance and a card, and where the program ends at once, the system keeps it (here it
// lingers for good, as a process whose thread waits inside the card's driver).
TEST(HungExit, Child) {
    const QString prefix = QStringLiteral("--hung-exit-card=");
    QString folder;
    for (const QString& argument : QCoreApplication::arguments()) {
        if (argument.startsWith(prefix))
            folder = argument.mid(prefix.size());
    }
    if (folder.isEmpty())
        GTEST_SKIP() << "run by SingleInstance.NextStartRunsAfterAHungExit";
    platform::SingleInstance instance;
    // A copy an earlier test killed may take the system (Wine's server) a moment to be gone.
    QElapsedTimer waited;
    waited.start();
    bool claimed = instance.claim([] {});
    while (!claimed && waited.elapsed() < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds{50});
        claimed = instance.claim([] {});
    }
    ASSERT_TRUE(claimed);
    const std::shared_ptr<platform::CardLock> cardLock =
        platform::CardLock::take(platform::FolderHandle::open(folder));
    ASSERT_TRUE(cardLock);
    static std::mutex stuckMutex;
    static std::condition_variable stuck;
    static bool counted = false;
    std::thread([] {
        const card::CardThreadCount onCard;
        std::unique_lock<std::mutex> lock(stuckMutex);
        counted = true;
        stuck.notify_all();
        stuck.wait(lock, [] { return false; });
    }).detach();
    {
        std::unique_lock<std::mutex> lock(stuckMutex);
        stuck.wait(lock, [] { return counted; });
    }
    std::cout << "holding" << std::endl;
    std::string line;
    std::getline(std::cin, line);

    ProgramEnd end;
    end.release = [&instance] { instance.release(); };
    end.quickExit = [](int) {
        std::cout << "lingering" << std::endl;
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours{1});
    };
    endProgram(0, end);
    ADD_FAILURE() << "the stuck card call was taken for ended";
}

// A closed program the system keeps for a stuck card call keeps nothing from the next start:
// the next start runs (it used to signal the gone window and end), and a download onto the card
// the lingering copy still holds says whose it is.
TEST(SingleInstance, NextStartRunsAfterAHungExit) {
    QTemporaryDir home;
    QTemporaryDir card;
    QObject owner;
    QProcess lingering;
    lingering.setProcessEnvironment(userEnvironment(home.path()));
    lingering.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=HungExit.Child"),
                     QStringLiteral("--hung-exit-card=") + card.path()});
    ASSERT_TRUE(lingering.waitForStarted(10000));
    ASSERT_TRUE(waitForLine(lingering, "holding")) << lingering.readAllStandardError().constData();
    {
        // At work, it is another program as far as the card can tell.
        const platform::FolderHandle folder = platform::FolderHandle::open(card.path());
        EXPECT_FALSE(platform::CardLock::take(folder));
        EXPECT_FALSE(platform::CardLock::heldByEndingCopy(folder));
    }
    lingering.write("end\n");
    ASSERT_TRUE(waitForLine(lingering, "lingering"))
        << lingering.readAllStandardError().constData();
    EXPECT_EQ(lingering.state(), QProcess::Running);
#ifdef _WIN32
    // What the installer looks for is gone with the window.
    const HANDLE programMutex =
        OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\MORVEL_Drivoro_UpdateManager");
    EXPECT_EQ(programMutex, nullptr);
    if (programMutex)
        CloseHandle(programMutex);
#endif

    QProcess* next = startProgram(home.path(), &owner);
    ASSERT_TRUE(next->waitForStarted(10000));
    EXPECT_TRUE(waitUntilClaimed(next, home.path())) << next->readAllStandardError().constData();
    next->kill();
    next->waitForFinished(10000);

    {
        const platform::FolderHandle folder = platform::FolderHandle::open(card.path());
        EXPECT_FALSE(platform::CardLock::take(folder));
        EXPECT_TRUE(platform::CardLock::heldByEndingCopy(folder));
        card::DatabaseOutcome refused;
        refused.fault = platform::BodyFault::CardEnding;
        EXPECT_EQ(card::failureReason(refused),
                  QStringLiteral("앞서 닫은 이 프로그램이 아직 이 SD카드의 작업을 마치는 "
                                 "중입니다. 잠시 뒤 다시 받아 주세요 (계속되면 SD카드를 뺐다가 "
                                 "다시 꽂아 주세요)"));
    }
    lingering.kill();
    ASSERT_TRUE(lingering.waitForFinished(10000));
    const platform::FolderHandle folder = platform::FolderHandle::open(card.path());
    EXPECT_FALSE(platform::CardLock::heldByEndingCopy(folder));
    EXPECT_TRUE(platform::CardLock::take(folder));
}

}  // namespace
