// The Windows platform layer against the real system (under Wine in CI): the drive list, the
// ANSI code page, the program's folders and the saved login's access list, and the card
// writes.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <array>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "account/saved_login.h"
#include "base/errors.h"
#include "platform/card_lock.h"
#include "platform/codepage.h"
#include "platform/downloads.h"
#include "platform/folder_handle.h"
#include "platform/replacing_file.h"
#include "platform/small_file.h"
#include "platform/windows/codepage.h"
#include "platform/windows/drives.h"
#include "platform/windows/folders.h"
#include "platform/windows/named_mutex.h"
#include "platform/windows/win32.h"
#include "platform/windows/windows_platform.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "support/test_server.h"
#include "support/windows_acl.h"

namespace {

// Some Windows behaviour cannot be seen under Wine; those checks run on Windows alone.
bool underWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// ---------------------------------------------------------------- drive list

QStringList rootsOf(const QList<platform::Drive>& drives) {
    QStringList roots;
    for (const platform::Drive& d : drives)
        roots << d.root;
    return roots;
}

TEST(WindowsDriveList, RemovableDrivesAndFatVolumesButNeverTheWindowsDrive) {
    using platform::win::LogicalDrive;
    const QList<LogicalDrive> drives{
        LogicalDrive{u'Z', DRIVE_FIXED, "NTFS", "unix"},
        LogicalDrive{u'C', DRIVE_FIXED, "NTFS", "System"},
        LogicalDrive{u'E', DRIVE_REMOVABLE, "exFAT", "DASHCAM"},
        LogicalDrive{u'F', DRIVE_FIXED, "FAT32", "SD READER"},  // a reader that says "fixed"
        LogicalDrive{u'G', DRIVE_REMOVABLE, "", ""},            // an empty card slot
        LogicalDrive{u'H', DRIVE_CDROM, "CDFS", "DISC"},
        LogicalDrive{u'I', DRIVE_REMOTE, "NTFS", "share"},
        LogicalDrive{u'J', DRIVE_REMOTE, "FAT32", "old share"},  // a share is never a card
        LogicalDrive{u'K', DRIVE_RAMDISK, "FAT32", "RAM"},
        LogicalDrive{u'D', DRIVE_FIXED, "exFAT", "BACKUP"},
        LogicalDrive{u'W', DRIVE_FIXED, "FAT32", "WIN"},  // Windows itself, even on FAT
    };
    const QList<platform::Drive> cards = platform::win::cardDrives(drives, u'W');
    EXPECT_EQ(rootsOf(cards), (QStringList{"d:\\", "e:\\", "f:\\", "g:\\"}));
    QStringList shown;
    for (const platform::Drive& d : cards)
        shown << d.display;
    EXPECT_EQ(shown, (QStringList{"d: [BACKUP]", "e:", "f: [SD READER]", "g:"}));
    EXPECT_EQ(rootsOf(platform::win::cardDrives(drives, u'e')),
              (QStringList{"d:\\", "f:\\", "g:\\", "w:\\"}));
}

// scripts/test-windows maps a folder to a removable drive letter in the Wine prefix and names
// it here; on a PC without one the case has nothing to look at.
TEST(WindowsDriveList, RealSystemOffersTheMappedCardAndNotTheWindowsDrive) {
    const QString letter = qEnvironmentVariable("DRIVORO_TEST_CARD_DRIVE").toLower();
    if (letter.isEmpty())
        GTEST_SKIP() << "no card drive mapped (DRIVORO_TEST_CARD_DRIVE)";
    platform::WindowsPlatform system;
    const QList<platform::Drive> drives = system.drives();
    const QStringList roots = rootsOf(drives);
    EXPECT_TRUE(roots.contains(letter + ":\\")) << roots.join(' ').toStdString();
    // The card's volume is known by its serial: a reader that keeps its letter shows a new card
    // only through it.
    DWORD serial = 0;
    const std::wstring cardRoot = (letter + ":\\").toStdWString();
    ASSERT_TRUE(
        GetVolumeInformationW(cardRoot.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    for (const platform::Drive& d : drives) {
        if (d.root == letter + ":\\") {
            EXPECT_EQ(d.identity, quint64{1} << 32 | serial);
        }
    }
    const QChar windows = platform::win::windowsDriveLetter().toLower();
    ASSERT_FALSE(windows.isNull());
    EXPECT_FALSE(roots.contains(QString(windows) + ":\\"));
    for (const platform::Drive& d : drives) {
        EXPECT_TRUE(QDir(d.root).exists() ||
                    GetDriveTypeW(d.root.toStdWString().c_str()) == DRIVE_REMOVABLE)
            << d.root.toStdString();
    }
    // The card's own file is reachable through the root the list gives.
    EXPECT_TRUE(QFile::exists(letter + ":\\backbbinfo.cfg"));
}

TEST(WindowsDriveList, CurrentDriveIsTheLowerCaseRootOfTheCurrentFolder) {
    platform::WindowsPlatform system;
    const QString root = system.currentDriveRoot();
    ASSERT_GE(root.size(), 3);
    EXPECT_EQ(root.mid(1), QStringLiteral(":\\"));
    EXPECT_TRUE(root.at(0).isLower());
    EXPECT_TRUE(
        QDir::toNativeSeparators(QDir::currentPath()).startsWith(root, Qt::CaseInsensitive));
}

// ---------------------------------------------------------------- system boxes and the flush

// A letter no drive uses: an empty card slot, as far as a call through it can tell.
QString unusedDriveRoot() {
    const DWORD used = GetLogicalDrives();
    for (int i = 25; i >= 3; --i) {
        if (!(used & (DWORD{1} << i)))
            return QString(QChar(u'a' + i)) + QStringLiteral(":\\");
    }
    return {};
}

// Windows' own "no disk" and "write-protected" boxes stay off from start-up on, also for the
// download's worker thread.
TEST(WindowsErrorMode, NoSystemBoxesFromStartUpOnAnyThread) {
    const UINT quiet = platform::win::kQuietErrorMode;
    const UINT before = SetErrorMode(0);
    DWORD threadBefore = 0;
    SetThreadErrorMode(0, &threadBefore);
    { platform::WindowsPlatform system; }
    const UINT processMode = GetErrorMode();
    UINT onWorker = 0;
    // The process's mode, which holds for every thread (a new thread's own mode, which
    // GetThreadErrorMode reads, starts empty under Wine and adds to it).
    std::thread([&onWorker] { onWorker = GetErrorMode(); }).join();
    SetErrorMode(before);
    SetThreadErrorMode(threadBefore, nullptr);
    EXPECT_EQ(processMode & quiet, quiet);
    EXPECT_EQ(onWorker & quiet, quiet);
}

// Wine's card drive is a plain folder that it reports as NTFS: flushed, but not known clean,
// so the driver is told to eject it. Only a FAT card on a real PC is said to be ready.
TEST(WindowsVolumeFlush, CardRootIsFlushedAndAnEmptySlotSaysNo) {
    platform::WindowsPlatform system;
    const QString empty = unusedDriveRoot();
    ASSERT_FALSE(empty.isEmpty());
    EXPECT_EQ(system.flushVolume(empty), platform::VolumeFlush::Failed);
    const QString letter = qEnvironmentVariable("DRIVORO_TEST_CARD_DRIVE").toLower();
    if (letter.isEmpty())
        GTEST_SKIP() << "no card drive mapped (DRIVORO_TEST_CARD_DRIVE)";
    wchar_t fileSystem[MAX_PATH + 1] = {};
    const std::wstring root = (letter + QStringLiteral(":\\")).toStdWString();
    ASSERT_TRUE(GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                      fileSystem, MAX_PATH + 1));
    EXPECT_EQ(system.flushVolume(letter + QStringLiteral(":\\")),
              platform::judgeVolumeFlush(platform::SystemKind::Windows,
                                         QString::fromWCharArray(fileSystem), true))
        << QString::fromWCharArray(fileSystem).toStdString();
}

// ---------------------------------------------------------------- code page

TEST(WindowsCodePage, Cp949RoundTripAndWindowsReplacement) {
    struct Case {
        const char* name;
        QString text;
        QByteArray bytes;
        bool roundTrip;
    };
    for (const Case& c : {
             Case{"ascii", "ABC 123", "ABC 123", true},
             Case{"hangul", QStringLiteral("한글"), "\xC7\xD1\xB1\xDB", true},
             // Outside the 2,350 common syllables: the extension that Korean Windows adds.
             Case{"extension", QStringLiteral("똠"), "\x8C\x63", true},
             Case{"hanja", QStringLiteral("漢"), "\xF9\xD3", true},
             Case{"thai", QStringLiteral("aก"), "a?", false},
             Case{"empty", QString(), QByteArray(), true},
         }) {
        EXPECT_EQ(platform::win::toCodePage(949, c.text), c.bytes) << c.name;
        if (c.roundTrip) {
            EXPECT_EQ(platform::win::fromCodePage(949, c.bytes), c.text) << c.name;
        }
    }
    for (int b : {0x81, 0xB0, 0xC7, 0xFE})
        EXPECT_TRUE(platform::win::isLeadByteIn(949, static_cast<unsigned char>(b))) << b;
    for (int b : {0x00, 0x41, 0x7F, 0x80, 0xFF})
        EXPECT_FALSE(platform::win::isLeadByteIn(949, static_cast<unsigned char>(b))) << b;
}

// The dashcam reads CP949 whatever language the PC speaks.
TEST(WindowsCodePage, ProgramWritesCp949) {
    const QString text = QStringLiteral("가나 abc");
    EXPECT_EQ(platform::toAnsi(text), platform::win::toCodePage(949, text));
    EXPECT_EQ(platform::fromAnsi("\xC7\xD1"), QStringLiteral("한"));
    EXPECT_NO_THROW(platform::checkAnsiCodePage());
}

// ---------------------------------------------------------------- folders

TEST(WindowsFolders, ExecutableFolderEndsInABackslash) {
    platform::WindowsPlatform system;
    const QString dir = system.executableDir();
    EXPECT_TRUE(dir.endsWith('\\')) << dir.toStdString();
    EXPECT_EQ(dir, QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + '\\');
}

TEST(WindowsFolders, CacheFolderIsTheUsersOwnAndExists) {
    platform::WindowsPlatform system;
    const QString folder = system.cacheFolder();
    wchar_t local[MAX_PATH] = {};
    ASSERT_EQ(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH) > 0, true);
    EXPECT_EQ(folder.toLower(), (QString::fromWCharArray(local) + "\\MORVEL_Drivoro\\").toLower());
    EXPECT_TRUE(QDir(folder).exists());
}

// The saved login lives in the user's own roaming folder and is made only when a login is
// saved; the file an earlier version kept for the whole PC is offered only to its owner. Runs
// against the real places; what a user had saved there is put back.
class SavedLoginPlace : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const QString& path : {ownPath(), kFormer}) {
            if (QFile::exists(path))
                saved.emplace_back(path, readAll(path));
        }
    }
    void TearDown() override {
        QFile::remove(ownPath());
        QFile::remove(kFormer);
        for (const auto& [path, bytes] : saved)
            writeFile(path, bytes);
    }
    QString ownPath() {
        return qEnvironmentVariable("APPDATA") + QStringLiteral("\\MORVEL_Drivoro\\tindrakhid.ini");
    }

    const QString kFormer = QStringLiteral("C:\\ProgramData\\MORVEL_Drivoro\\tindrakhid.ini");
    std::vector<std::pair<QString, QByteArray>> saved;
};

TEST_F(SavedLoginPlace, UsersOwnFolderMadeOnlyWhenALoginIsSaved) {
    platform::WindowsPlatform system;
    const QString path = ownPath();
    QFile::remove(path);
    QDir().rmdir(QFileInfo(path).absolutePath());
    ASSERT_EQ(QDir::toNativeSeparators(system.savedLoginPath()), path);
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(path).absolutePath()));

    saved_login::write(system.savedLoginPath(), QStringLiteral("한글id"), QStringLiteral("secret"));
    const QList<QByteArray> raw = readAll(path).split('\n');
    ASSERT_EQ(raw.size(), 3);
    EXPECT_EQ(raw[0], platform::toAnsi(QStringLiteral("한글id")) + "\r");
    EXPECT_TRUE(
        raw[1].startsWith("\x01"
                          "DPAPI:"))
        << raw[1].toStdString();
    EXPECT_EQ(saved_login::read(path), (QStringList{"한글id", "secret"}));
}

TEST_F(SavedLoginPlace, FormerMachineWideFileIsOfferedToItsOwnerAlone) {
    platform::WindowsPlatform system;
    QFile::remove(kFormer);
    EXPECT_FALSE(system.formerSavedLoginPath());
    writeFile(kFormer, "olduser\r\noldpw\r\n");
    ASSERT_EQ(system.formerSavedLoginPath(), std::optional<QString>(kFormer));

    // Owned by the administrators instead: another user's file is never read.
    std::vector<unsigned char> admins(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(admins.size());
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins.data(), &size));
    std::wstring native = kFormer.toStdWString();
    if (SetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                              admins.data(), nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        platform::win::ownedByCurrentUser(kFormer))
        GTEST_SKIP() << "this system does not let the test give the file another owner";
    EXPECT_FALSE(system.formerSavedLoginPath());
}

// ---------------------------------------------------------------- small files

TEST(WindowsSmallFile, ReadsAFileAndRefusesPipesFoldersAndLargeFiles) {
    QTemporaryDir dir;
    writeFile(dir.filePath("ok.cfg"), "line\r\n");
    EXPECT_EQ(platform::readSmallFile(dir.filePath("ok.cfg"), 100, "too large"), "line\r\n");
    writeFile(dir.filePath("big.cfg"), QByteArray(101, 'x'));
    QDir().mkdir(dir.filePath("folder.cfg"));
    // A pipe nobody writes to: reading it would never end.
    const QString pipe = QStringLiteral("\\\\.\\pipe\\drivoro-test-%1").arg(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(pipe.toStdWString().c_str(), PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    for (const QString& path :
         {dir.filePath("big.cfg"), dir.filePath("folder.cfg"), pipe, dir.filePath("missing")}) {
        try {
            platform::readSmallFile(path, 100, "too large");
            ADD_FAILURE() << path.toStdString() << " was read";
        } catch (const FileError& e) {
            EXPECT_TRUE(e.text().startsWith("Cannot open file \"" + QDir::toNativeSeparators(path)))
                << e.text().toStdString();
        }
    }
    CloseHandle(server);
}

// ---------------------------------------------------------------- card writes

class WindowsCardWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        target = dir.filePath("rp_cam.idb");
        writeFile(target, kOld);
    }
    QStringList folderEntries() const {
        return QDir(dir.path())
            .entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::Dirs |
                       QDir::NoDotAndDotDot);
    }

    const QByteArray kOld = "the database the card holds now";
    QTemporaryDir dir;
    QString target;
    TestServer server;
};

TEST_F(WindowsCardWrite, WholeFileReplacesTheOldOneAndLeftoversAreTakenOver) {
    QByteArray body(9 * 1024 * 1024 + 12345, Qt::Uninitialized);
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32*>(body.data()), body.size() / 4);
    server.serveFile("/db", std::string(body.constData(), body.size()));
    server.start();
    writeFile(target + ".part", "half of an earlier download");
    const auto result = platform::downloadUrlToFile(server.url("/db"), target, {});
    EXPECT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_TRUE(readAll(target) == body);
    EXPECT_EQ(folderEntries(), QStringList{"rp_cam.idb"});
}

TEST_F(WindowsCardWrite, FailuresKeepTheOldFileAndLeaveNothingBehind) {
    const std::string big(2 * 1024 * 1024, 'x');
    server.answer("/missing", "not found", 404);
    server.http().Get("/cut", [&big](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(big.size(), "application/octet-stream",
                                 [&big](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset >= big.size() / 2)
                                         return false;
                                     sink.write(big.data() + offset, big.size() / 2);
                                     return true;
                                 });
    });
    server.start();
    for (const QString& url : {server.url("/missing"), server.url("/cut")}) {
        const auto result = platform::downloadUrlToFile(url, target, {});
        EXPECT_FALSE(result.ok) << url.toStdString();
        EXPECT_EQ(readAll(target), kOld);
        EXPECT_EQ(folderEntries(), QStringList{"rp_cam.idb"});
    }
    {
        platform::ReplacingFile file;
        ASSERT_TRUE(file.open(target));
        EXPECT_TRUE(file.write("abc", 3));
    }
    EXPECT_EQ(readAll(target), kOld);
    EXPECT_EQ(folderEntries(), QStringList{"rp_cam.idb"});
}

// A link put where the temporary file goes must not carry the write elsewhere.
TEST_F(WindowsCardWrite, LinkInTheTemporaryFilesPlaceIsNotFollowed) {
    if (underWine())
        GTEST_SKIP() << "Wine's CreateFileW does not follow its own links, guarded or not";
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath("victim.txt");
    writeFile(victim, "not yours");
    const std::wstring link = QDir::toNativeSeparators(target + ".part").toStdWString();
    if (!CreateSymbolicLinkW(link.c_str(), QDir::toNativeSeparators(victim).toStdWString().c_str(),
                             SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        GTEST_SKIP() << "this system lets the user make no symbolic link";
    server.serveFile("/db", "new database");
    server.start();
    EXPECT_TRUE(platform::downloadUrlToFile(server.url("/db"), target, {}).ok);
    EXPECT_EQ(readAll(target), QByteArray("new database"));
    EXPECT_EQ(readAll(victim), QByteArray("not yours"));
    EXPECT_EQ(folderEntries(), QStringList{"rp_cam.idb"});
}

// ---------------------------------------------------------------- card folder

std::wstring native(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

// A folder link made by the system's own call; false when this system lets the user make
// none.
bool makeFolderLink(const QString& link, const QString& target) {
    return CreateSymbolicLinkW(
        native(link).c_str(), native(target).c_str(),
        SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
}

bool makeFileLink(const QString& link, const QString& target) {
    return CreateSymbolicLinkW(native(link).c_str(), native(target).c_str(),
                               SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
}

// The link is seen as one: opened as itself, it carries the reparse point attribute.
bool isReparsePoint(const QString& path) {
    const DWORD attributes = GetFileAttributesW(native(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

QString rootOf(const QTemporaryDir& dir) {
    return QDir::toNativeSeparators(dir.path()) + '\\';
}

void expectRefused(const std::function<void()>& act, const QString& path, const QString& reason,
                   const char* name) {
    try {
        act();
        ADD_FAILURE() << name << ": not refused";
    } catch (const FileError& e) {
        EXPECT_TRUE(e.text().startsWith("Cannot open file \"" + QDir::toNativeSeparators(path)))
            << name << ": " << e.text().toStdString();
        EXPECT_TRUE(e.text().contains(reason)) << name << ": " << e.text().toStdString();
    }
}

TEST(WindowsFolderHandle, OpensTheCardFolderFolderByFolder) {
    QTemporaryDir card;
    writeFile(card.filePath("DCIM/DATA/backbbinfo.cfg"), "x");
    writeFile(card.filePath("file"), "x");
    const QString root = rootOf(card);
    // The service names the folder with either separator.
    for (const QString& relative : {QString("DCIM/DATA"), QString("DCIM\\DATA\\"), QString()}) {
        const platform::FolderHandle folder = platform::FolderHandle::openBeneath(root, relative);
        EXPECT_TRUE(folder.isOpen());
        EXPECT_EQ(folder.contains("backbbinfo.cfg"), !relative.isEmpty()) << relative.toStdString();
        EXPECT_GT(folder.freeBytes(), 0);
    }
    struct Case {
        const char* relative;
        const char* at;
        QString reason;
    };
    for (const Case& c :
         {Case{"DCIM/../..", "DCIM\\..", "SD카드 밖의 폴더"}, Case{"file", "file", "폴더가 아닙니다."},
          Case{"DCIM/missing", "DCIM\\missing", ""}}) {
        expectRefused([&] { platform::FolderHandle::openBeneath(root, c.relative); }, root + c.at,
                      c.reason, c.relative);
    }
}

TEST(WindowsFolderHandle, LinkedFolderOnTheCardIsNotEntered) {
    QTemporaryDir card;
    QTemporaryDir elsewhere;
    writeFile(elsewhere.filePath("backbbinfo.cfg"), "not the card's");
    if (!makeFolderLink(card.filePath("DCIM"), elsewhere.path()) ||
        !isReparsePoint(card.filePath("DCIM")))
        GTEST_SKIP() << "this system makes no folder link the program could meet";
    expectRefused([&] { platform::FolderHandle::openBeneath(rootOf(card), "DCIM"); },
                  rootOf(card) + "DCIM", "폴더가 아닙니다.", "link");
}

// While the card folder is held, it cannot be renamed away and a link put in its place.
TEST(WindowsFolderHandle, HeldFolderCannotBeMovedAway) {
    QTemporaryDir card;
    QDir(card.path()).mkpath("DCIM");
    const platform::FolderHandle folder = platform::FolderHandle::openBeneath(rootOf(card), "DCIM");
    EXPECT_FALSE(
        MoveFileW(native(card.filePath("DCIM")).c_str(), native(card.filePath("MOVED")).c_str()));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
}

TEST(WindowsFolderHandle, OnlyRegularFilesAreSizedReadAndRemoved) {
    QTemporaryDir card;
    writeFile(card.filePath("db"), "12345");
    writeFile(card.filePath("big"), QByteArray(101, 'x'));
    writeFile(card.filePath("full/inside"), "x");
    QDir(card.path()).mkdir("empty");
    writeFile(card.filePath("locked"), "x");
    SetFileAttributesW(native(card.filePath("locked")).c_str(), FILE_ATTRIBUTE_READONLY);
    const platform::FolderHandle folder = platform::FolderHandle::open(card.path());

    EXPECT_EQ(folder.regularFileSize("db"), std::optional<qint64>(5));
    EXPECT_EQ(folder.regularFileSize("missing"), std::nullopt);
    EXPECT_EQ(folder.readSmallFile("db", 100, "too large"), "12345");
    for (const char* name : {"empty", "big", "missing"}) {
        expectRefused([&] { folder.readSmallFile(name, 100, "too large"); }, folder.filePath(name),
                      name == QString("big") ? "too large" : "", name);
    }
    expectRefused([&] { folder.regularFileSize("empty"); }, folder.filePath("empty"),
                  "보통 파일이 아닙니다.", "folder sized");

    // A leftover, a read-only one and an empty folder go; a full folder is not ours to empty.
    for (const char* name : {"db", "locked", "empty", "missing"}) {
        EXPECT_TRUE(folder.removeFile(name)) << name;
        EXPECT_FALSE(folder.contains(name)) << name;
    }
    EXPECT_FALSE(folder.removeFile("full"));
    EXPECT_TRUE(QFile::exists(card.filePath("full/inside")));
}

// ---------------------------------------------------------------- card lock

// The other program of the card lock tests: this test binary again, given a card folder. It
// says "taken" or "busy"; with --hold it keeps what it took until it is killed.
TEST(CardLockOtherProgram, TriesTheFolderGivenOnTheCommandLine) {
    const QString prefix = QStringLiteral("--lock-card=");
    QString card;
    bool hold = false;
    for (const QString& argument : QCoreApplication::arguments()) {
        if (argument.startsWith(prefix))
            card = argument.mid(prefix.size());
        hold = hold || argument == QLatin1String("--hold");
    }
    if (card.isEmpty())
        GTEST_SKIP() << "only run by the card lock tests";
    const std::shared_ptr<platform::CardLock> lock =
        platform::CardLock::take(platform::FolderHandle::open(card));
    std::cout << (lock ? "taken" : "busy") << std::endl;
    if (lock && hold) {
        std::string line;
        std::getline(std::cin, line);  // until killed
    }
}

void startOtherProgram(QProcess& program, const QString& card, bool hold) {
    QStringList arguments{QStringLiteral("--gtest_filter=CardLockOtherProgram.*"),
                          QStringLiteral("--lock-card=") + card};
    if (hold)
        arguments << QStringLiteral("--hold");
    program.start(QCoreApplication::applicationFilePath(), arguments);
}

// "taken" or "busy", or what the program said instead.
QByteArray answerOf(QProcess& program) {
    QByteArray said;
    for (;;) {
        while (!program.canReadLine()) {
            if (!program.waitForReadyRead(30000))
                return "no answer: " + said + program.readAll();
        }
        const QByteArray line = program.readLine().trimmed();
        if (line == "taken" || line == "busy")
            return line;
        said += line + '\n';
    }
}

QByteArray tryInOtherProgram(const QString& card) {
    QProcess other;
    startOtherProgram(other, card, false);
    const QByteArray answer = answerOf(other);
    other.waitForFinished(30000);
    return answer;
}

// The download takes the lock on its worker thread, which ends before another thread writes
// the card info file and lets the lock go: in between, another program stays out of the
// card, and a holder that is killed frees it.
TEST(WindowsCardLock, HeldWhateverThreadTookItAndFreedWithItsHolder) {
    QTemporaryDir card;
    const platform::FolderHandle folder = platform::FolderHandle::open(card.path());
    std::shared_ptr<platform::CardLock> lock;
    std::thread([&] { lock = platform::CardLock::take(folder); }).join();
    ASSERT_TRUE(lock);
    EXPECT_EQ(tryInOtherProgram(card.path()), "busy");
    EXPECT_FALSE(platform::CardLock::take(folder));
    std::thread([&] { lock.reset(); }).join();
    EXPECT_EQ(tryInOtherProgram(card.path()), "taken");

    QProcess holder;
    startOtherProgram(holder, card.path(), true);
    ASSERT_EQ(answerOf(holder), "taken");
    EXPECT_FALSE(platform::CardLock::take(folder));
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(30000));
    EXPECT_TRUE(platform::CardLock::take(folder));
}

// Another user's program may open the lock to learn that it is there, and may do nothing else
// with it (change its security, keep it past its holder).
TEST(WindowsCardLock, EveryoneMayWaitOnTheLockAndNothingMore) {
    QTemporaryDir card;
    const platform::FolderHandle folder = platform::FolderHandle::open(card.path());
    const QString name = platform::win::cardLockName(folder);
    ASSERT_TRUE(name.startsWith(QLatin1String("Global\\MORVEL_Drivoro_Card_")))
        << name.toStdString();
    const std::shared_ptr<platform::CardLock> lock = platform::CardLock::take(folder);
    ASSERT_TRUE(lock);
    EXPECT_EQ(accessListOfMutex(name), "allow WD 0x100000");
}

// ---------------------------------------------------------------- replacing a file

class WindowsReplacingFile : public ::testing::Test {
  protected:
    void SetUp() override {
        target = dir.filePath("rp_cam.idb");
        writeFile(target, kOld);
    }
    QStringList entries() const {
        return QDir(dir.path())
            .entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::Dirs |
                       QDir::NoDotAndDotDot);
    }
    static QByteArray sha256(const QByteArray& bytes) {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    }
    bool replace(const QByteArray& bytes, const QByteArray& expectedSha256 = {}) {
        const platform::FolderHandle folder = platform::FolderHandle::open(dir.path());
        return file.open(folder, "rp_cam.idb") && file.write(bytes) && file.commit(expectedSha256);
    }

    const QByteArray kOld = "the database the card holds now";
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    QString target;
    platform::ReplacingFile file;
};

// Whatever has the temporary name is removed first and never written through.
TEST_F(WindowsReplacingFile, WhateverHasTheTemporaryNameGoesFirst) {
    const QString part = target + ".part";
    const QString victim = elsewhere.filePath("victim");
    struct Case {
        const char* name;
        std::function<bool()> plant;  // false: this system cannot make it
    };
    const Case cases[] = {
        {"leftover", [&] { return writeFile(part, "half of an earlier one"), true; }},
        {"read-only leftover",
         [&] {
             writeFile(part, "half");
             return SetFileAttributesW(native(part).c_str(), FILE_ATTRIBUTE_READONLY) != 0;
         }},
        {"empty folder", [&] { return QDir().mkdir(part); }},
        {"file link", [&] { return makeFileLink(part, victim) && isReparsePoint(part); }},
        {"folder link",
         [&] { return makeFolderLink(part, elsewhere.path()) && isReparsePoint(part); }},
    };
    for (const Case& c : cases) {
        writeFile(victim, "not yours");
        if (!c.plant()) {
            std::cout << "[ SKIPPED  ] " << c.name << ": cannot be made here\n";
            QFile::remove(part);
            continue;
        }
        const QByteArray body = QByteArray("new database for ") + c.name;
        EXPECT_TRUE(replace(body)) << c.name << ": " << file.errorText().toStdString();
        EXPECT_EQ(readAll(target), body) << c.name;
        EXPECT_EQ(readAll(victim), "not yours") << c.name;
        EXPECT_EQ(entries(), QStringList{"rp_cam.idb"}) << c.name;
    }
}

TEST_F(WindowsReplacingFile, ReadBackDecidesAndAMismatchKeepsTheOldFile) {
    // Past one buffer and not a whole number of sectors: the unbuffered read's last piece.
    QByteArray body(2 * platform::ReplacingFile::kBufferBytes + 12345, Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32*>(body.data()), body.size() / 4);

    EXPECT_FALSE(replace(body, sha256(body + "x")));
    EXPECT_EQ(file.failure(), platform::ReplacingFile::Failure::ReadBack);
    EXPECT_EQ(readAll(target), kOld);
    EXPECT_EQ(entries(), QStringList{"rp_cam.idb"});

    EXPECT_TRUE(replace(body, sha256(body))) << file.errorText().toStdString();
    EXPECT_EQ(file.failure(), platform::ReplacingFile::Failure::None);
    EXPECT_TRUE(readAll(target) == body);
    EXPECT_EQ(entries(), QStringList{"rp_cam.idb"});
}

TEST_F(WindowsReplacingFile, ReadOnlyOrLinkedTargetIsReplacedNotFollowed) {
    SetFileAttributesW(native(target).c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(replace("over a read-only one")) << file.errorText().toStdString();
    EXPECT_EQ(readAll(target), "over a read-only one");

    const QString victim = elsewhere.filePath("victim");
    writeFile(victim, "not yours");
    QFile::remove(target);
    if (!makeFileLink(target, victim) || !isReparsePoint(target))
        GTEST_SKIP() << "this system makes no file link the program could meet";
    EXPECT_TRUE(replace("over a link")) << file.errorText().toStdString();
    EXPECT_FALSE(isReparsePoint(target));
    EXPECT_EQ(readAll(target), "over a link");
    EXPECT_EQ(readAll(victim), "not yours");
}

// A virus scanner or Explorer's preview holding the old database without letting it be
// replaced delays the rename; held throughout, the download fails with the system's reason and
// the old database stays.
TEST_F(WindowsReplacingFile, HeldTargetDelaysTheRenameAndNeverLosesTheOldFile) {
    for (const int releaseAfterMs : {200, -1}) {
        const HANDLE held =
            CreateFileW(native(target).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread release;
        if (releaseAfterMs >= 0) {
            release = std::thread([held, releaseAfterMs] {
                Sleep(static_cast<DWORD>(releaseAfterMs));
                CloseHandle(held);
            });
        }
        QElapsedTimer timer;
        timer.start();
        const bool replaced = replace("the new database");
        const qint64 took = timer.elapsed();
        if (release.joinable()) {
            release.join();
            EXPECT_TRUE(replaced) << file.errorText().toStdString();
            EXPECT_EQ(readAll(target), "the new database");
            writeFile(target, kOld);
            continue;
        }
        CloseHandle(held);
        if (replaced && took < 100)
            GTEST_SKIP() << "this system lets a held file be replaced";
        EXPECT_FALSE(replaced);
        EXPECT_FALSE(file.errorText().isEmpty());
        EXPECT_GE(took, 2500);
        EXPECT_EQ(readAll(target), kOld);
        EXPECT_EQ(entries(), QStringList{"rp_cam.idb"});
    }
}

// ---------------------------------------------------------------- drive watcher

// A letter no drive uses, as DefineDosDeviceW takes it ("X:"); "?:" when there is none.
std::array<wchar_t, 3> freeDriveLetter() {
    std::array<wchar_t, 3> letter{L'?', L':', 0};
    const DWORD used = GetLogicalDrives();
    for (int i = 25; i >= 3 && letter[0] == L'?'; --i)
        if (!(used & (DWORD{1} << i)))
            letter[0] = static_cast<wchar_t>(L'A' + i);
    return letter;
}

// Handles events until done; false after ms.
bool waitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

TEST(WindowsDriveWatcher, CallsOnlyWhenTheDrivesChange) {
    // A letter given to a folder shows among the logical drives like a card put in.
    std::array<wchar_t, 3> letter = freeDriveLetter();
    ASSERT_NE(letter[0], L'?');
    QTemporaryDir folder;
    platform::WindowsPlatform system;
    int calls = 0;
    const std::unique_ptr<QObject> watcher = system.watchDrives([&calls] { ++calls; });
    ASSERT_TRUE(watcher);
    const auto waitFor = [&calls](int wanted, int ms) {
        waitUntil([&] { return calls >= wanted; }, ms);
    };
    waitFor(1, 2500);
    EXPECT_EQ(calls, 0) << "called with nothing changed";
    if (!DefineDosDeviceW(0, letter.data(), native(folder.path()).c_str()) ||
        !(GetLogicalDrives() & (DWORD{1} << (letter[0] - L'A'))))
        GTEST_SKIP() << "this system gives a folder no drive letter";
    waitFor(1, 5000);
    EXPECT_EQ(calls, 1);
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, letter.data(), nullptr);
    waitFor(2, 5000);
    EXPECT_EQ(calls, 2);
}

// The card's drive stops answering (its volume call held through the card call hook, since Wine
// cannot make a drive hang): the look at the drives does not wait for it, it is asked nothing
// more while its call is out, another drive's arrival is still told, and the card shows once it
// answers. Only removable and fixed drives are asked for their volume.
TEST(WindowsDriveWatcher, CardThatDoesNotAnswerHoldsUpNothing) {
    const QString letter = qEnvironmentVariable("DRIVORO_TEST_CARD_DRIVE").toLower();
    if (letter.isEmpty())
        GTEST_SKIP() << "no card drive mapped (DRIVORO_TEST_CARD_DRIVE)";
    const QString card = letter + QStringLiteral(":\\");
    // Earlier tests' pollers have started their last calls; none must meet this test's hook.
    ASSERT_TRUE(platform::win::DrivePoller::waitForCalls(std::chrono::seconds{10}));
    std::mutex askedMutex;
    QSet<QString> asked;
    FakePlatform hook;
    hook.holdCardCalls([&](platform::CardCall, const QString& where) {
        const std::lock_guard<std::mutex> lock(askedMutex);
        asked.insert(where);
        return where == card;
    });
    platform::WindowsPlatform system;
    int calls = 0;
    const std::unique_ptr<QObject> watcher = system.watchDrives([&calls] { ++calls; });
    system.drives();  // returns while the card's call is held
    ASSERT_TRUE(hook.waitUntilHeld(1));
    // A slot whose card is not known yet.
    const auto identityOfCard = [&]() -> std::optional<quint64> {
        for (const platform::Drive& d : system.drives()) {
            if (d.root == card)
                return d.identity;
        }
        return std::nullopt;
    };
    EXPECT_EQ(identityOfCard(), std::optional<quint64>(0));

    // Two rounds and more: the card's call stays the only one.
    waitUntil([] { return false; }, 2500);
    EXPECT_EQ(hook.heldCardCalls(), 1);
    EXPECT_EQ(calls, 0);
    std::array<wchar_t, 3> other = freeDriveLetter();
    QTemporaryDir folder;
    if (other[0] != L'?' && DefineDosDeviceW(0, other.data(), native(folder.path()).c_str())) {
        EXPECT_TRUE(waitUntil([&] { return calls == 1; }, 5000)) << "another drive's arrival";
        DefineDosDeviceW(DDD_REMOVE_DEFINITION, other.data(), nullptr);
        EXPECT_TRUE(waitUntil([&] { return calls == 2; }, 5000));
    }
    EXPECT_EQ(hook.heldCardCalls(), 1);

    const int before = calls;
    hook.releaseCardCalls();
    DWORD serial = 0;
    ASSERT_TRUE(GetVolumeInformationW(card.toStdWString().c_str(), nullptr, 0, &serial, nullptr,
                                      nullptr, nullptr, 0));
    EXPECT_TRUE(waitUntil([&] { return calls > before; }, 5000));
    EXPECT_EQ(identityOfCard(), std::optional<quint64>(quint64{1} << 32 | serial));

    const std::lock_guard<std::mutex> lock(askedMutex);
    for (const QString& root : asked) {
        const UINT type = GetDriveTypeW(root.toStdWString().c_str());
        EXPECT_TRUE(type == DRIVE_REMOVABLE || type == DRIVE_FIXED) << root.toStdString();
    }
}

}  // namespace
