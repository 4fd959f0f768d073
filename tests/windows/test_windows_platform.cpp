// The Windows platform layer against the real system (under Wine in CI): the drive list, the
// ANSI code page, the program's folders and the saved login's access list, and the card
// writes.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <optional>
#include <thread>

#include "account/saved_login.h"
#include "platform/codepage.h"
#include "platform/downloads.h"
#include "platform/small_file.h"
#include "platform/windows/codepage.h"
#include "platform/windows/drives.h"
#include "platform/windows/folders.h"
#include "platform/windows/windows_platform.h"
#include "service/errors.h"
#include "support/files.h"
#include "support/test_server.h"

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

TEST(WindowsCodePage, ProgramUsesTheSystemAnsiCodePage) {
    const QString text = QStringLiteral("가나 abc");
    EXPECT_EQ(platform::toAnsi(text), platform::win::toCodePage(GetACP(), text));
    EXPECT_EQ(platform::fromAnsi("\xC7\xD1"), platform::win::fromCodePage(GetACP(), "\xC7\xD1"));
}

// ---------------------------------------------------------------- folders

TEST(WindowsFolders, ExecutableFolderEndsInABackslash) {
    platform::WindowsPlatform system;
    const QString dir = system.executableDir();
    EXPECT_TRUE(dir.endsWith('\\')) << dir.toStdString();
    EXPECT_EQ(dir, QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + '\\');
}

TEST(WindowsFolders, BannerPictureIsTheUsersOwnFile) {
    platform::WindowsPlatform system;
    const QString path = system.bannerPicturePath();
    wchar_t local[MAX_PATH] = {};
    ASSERT_EQ(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH) > 0, true);
    EXPECT_EQ(path.toLower(),
              (QString::fromWCharArray(local) + "\\MORVEL_Drivoro\\a.jpg").toLower());
    EXPECT_TRUE(QDir(path.left(path.lastIndexOf('\\'))).exists());
}

// The access list of a file or folder: who may do what, and whether the parent's list is
// shut out.
struct AccessList {
    bool protectedFromParent = false;
    QStringList allowed;  // SIDs as text
    int denied = 0;
};

AccessList accessListOf(const QString& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    AccessList list;
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    if (GetNamedSecurityInfoW(native.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no access list for " << path.toStdString();
        return list;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    list.protectedFromParent = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        GetAce(dacl, i, &ace);
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            wchar_t* text = nullptr;
            ConvertSidToStringSidW(&allowed->SidStart, &text);
            list.allowed << QString::fromWCharArray(text);
            LocalFree(text);
        } else {
            ++list.denied;
        }
    }
    LocalFree(descriptor);
    return list;
}

QString currentUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> info(size);
    GetTokenInformation(token, TokenUser, info.data(), size, &size);
    CloseHandle(token);
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, &text);
    const QString sid = QString::fromWCharArray(text);
    LocalFree(text);
    return sid;
}

// Runs against the real saved-login place; what a user had saved there is put back. Wine
// keeps no access lists on files (it maps them to Unix modes and makes one up when asked), so
// the lists are checked on Windows alone.
class SavedLoginPlace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (QFile::exists(kPath))
            saved = readAll(kPath);
    }
    void TearDown() override {
        QFile::remove(kPath);
        if (saved)
            writeFile(kPath, *saved);
    }
    void expectUserAlone(const QString& path) {
        if (underWine())
            return;
        const AccessList list = accessListOf(path);
        EXPECT_TRUE(list.protectedFromParent) << path.toStdString();
        EXPECT_EQ(list.allowed, QStringList{currentUserSid()}) << path.toStdString();
        EXPECT_EQ(list.denied, 0) << path.toStdString();
    }

    const QString kPath = QStringLiteral("C:\\ProgramData\\MORVEL_Drivoro\\tindrakhid.ini");
    std::optional<QByteArray> saved;
};

TEST_F(SavedLoginPlace, FixedPathFolderMadeForTheUserAlone) {
    const QString folder = QStringLiteral("C:\\ProgramData\\MORVEL_Drivoro");
    // A folder made plainly, as ProgramData passes on its list to it: readable by all users.
    QFile::remove(kPath);
    QDir().rmdir(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.toStdWString().c_str(), nullptr));
    writeFile(kPath, "left by an earlier program\r\n");
    platform::WindowsPlatform system;
    ASSERT_EQ(system.savedLoginPath(), kPath);
    expectUserAlone(folder);
    expectUserAlone(kPath);

    // Missing altogether: made with the list from the start.
    QFile::remove(kPath);
    ASSERT_TRUE(QDir().rmdir(folder));
    ASSERT_EQ(system.savedLoginPath(), kPath);
    expectUserAlone(folder);
    saved_login::write(kPath, QStringLiteral("한글id"), QStringLiteral("secret"));
    EXPECT_EQ(readAll(kPath), platform::toAnsi(QStringLiteral("한글id")) + "\r\nsecret\r\n");
    expectUserAlone(kPath);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{"tindrakhid.ini"});
    if (underWine())
        GTEST_SKIP() << "access lists checked on Windows only: Wine does not keep them";
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

}  // namespace
