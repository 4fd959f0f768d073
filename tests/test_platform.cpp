// The platform layer: the ANSI code page, text files of lines, the owner of a box, and the real
// platform's boxes, folders and volume flush.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include "base/errors.h"
#include "platform/box_owner.h"
#include "platform/codepage.h"
#ifndef _WIN32
#include "platform/linux_platform.h"
#endif
#include "platform/text_file.h"

namespace {

// While the tests below run, the code page behind toAnsi and fromAnsi cannot be opened.
class CodePageMissing : public ::testing::Test {
  protected:
    void SetUp() override { previous = platform::useAnsiCodePage("NO-SUCH-CODEPAGE"); }
    void TearDown() override { platform::useAnsiCodePage(previous); }
    const char* previous = nullptr;
};

TEST_F(CodePageMissing, IsAClearErrorNamingItNeverEmptyText) {
    const auto expectError = [](const std::function<void()>& action, const char* what) {
        try {
            action();
            ADD_FAILURE() << "no error: " << what;
        } catch (const AppError& e) {
            EXPECT_TRUE(e.text().contains("NO-SUCH-CODEPAGE")) << e.text().toStdString();
            EXPECT_TRUE(e.text().contains(QStringLiteral("변환을 쓸 수 없어")))
                << e.text().toStdString();
        }
    };
    expectError([] { platform::toAnsi("한글"); }, "toAnsi");
    expectError([] { platform::fromAnsi("\xC7\xD1"); }, "fromAnsi");
    expectError([] { platform::encodeAnsiLines({"id", "비밀"}); }, "encodeAnsiLines");
    expectError([] { platform::decodeTextLines("\xC7\xD1\r\n"); }, "decodeTextLines");
    expectError([] { platform::checkAnsiCodePage(); }, "checkAnsiCodePage");
}

// Every ANSI code page keeps ASCII as it is: such text needs no converter at all.
TEST_F(CodePageMissing, AsciiNeedsNoConverter) {
    EXPECT_EQ(platform::toAnsi("00AB5F_x"), QByteArray("00AB5F_x"));
    EXPECT_EQ(platform::fromAnsi("00AB5F_x\t"), QStringLiteral("00AB5F_x\t"));
    EXPECT_EQ(platform::encodeAnsiLines({"id", "pw"}), QByteArray("id\r\npw\r\n"));
}

TEST(AnsiCodePage, IsCp949) {
    EXPECT_EQ(platform::toAnsi("한글 ID"), QByteArray("\xC7\xD1\xB1\xDB ID"));
    EXPECT_EQ(platform::fromAnsi("\xC7\xD1\xB1\xDB ID"), "한글 ID");
#ifndef _WIN32
    // Windows' own conversion decides this on Windows (Wine writes one "?" per UTF-16 unit).
    EXPECT_EQ(platform::toAnsi("a😀b"), QByteArray("a?b"));  // not in the code page
    // A broken lead byte is one unknown character; what follows it is kept.
    EXPECT_EQ(platform::fromAnsi("\xC7\x31x"), QStringLiteral("\uFFFD1x"));
    EXPECT_EQ(platform::fromAnsi("a\xC7"), QStringLiteral("a\uFFFD"));
    EXPECT_EQ(platform::fromAnsi("\xC7\xD1\xFF\xC7"), QStringLiteral("한\uFFFD\uFFFD"));
#endif
    EXPECT_EQ(platform::toAnsi("").size(), 0);
    EXPECT_TRUE(platform::isAnsiLeadByte(0xC7));
    EXPECT_TRUE(platform::isAnsiLeadByte(0x81));
    EXPECT_FALSE(platform::isAnsiLeadByte('A'));
    EXPECT_FALSE(platform::isAnsiLeadByte(0x80));
}

TEST(TextLines, EncodingsAndLineBreaks) {
    struct Case {
        const char* name;
        QByteArray bytes;
        QStringList lines;
    };
    const Case cases[] = {
        {"Empty", "", {}},
        {"CrLf", "a\r\nb\r\n", {"a", "b"}},
        {"NoFinalBreak", "a\r\nb", {"a", "b"}},
        {"LoneCrAndLf", "a\rb\nc", {"a", "b", "c"}},
        {"EmptyLinesKept", "\r\n\r\nx\r\n", {"", "", "x"}},
        {"CrCrLf", "a\r\r\nb", {"a", "", "b"}},
        {"Utf8Bom", "\xEF\xBB\xBF\xED\x95\x9C\n", {"한"}},
        {"Utf16Le", QByteArray("\xFF\xFE\\\xD5\n\0", 6), {"한"}},
        {"Utf16Be", QByteArray("\xFE\xFF\xD5\\\0\n", 6), {"한"}},
        {"Ansi", "\xC7\xD1\r\n", {"한"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::decodeTextLines(c.bytes), c.lines) << c.name;
    }
    EXPECT_EQ(platform::encodeAnsiLines({"한", ""}), QByteArray("\xC7\xD1\r\n\r\n"));
}

// ---------------------------------------------------------------- a box's owner

// The program's windows as at start-up: the main window made but hidden, the login window shown.
class BoxOwnerChoice : public ::testing::Test {
  protected:
    void SetUp() override {
        main.setWindowTitle(QStringLiteral("main"));
        login.setWindowTitle(QStringLiteral("login"));
        other.setWindowTitle(QStringLiteral("payments"));
        login.show();
    }
    void TearDown() override {
        for (QWidget* w : {&other, &login, &main})
            w->hide();
    }
    static const char* titleOf(const platform::BoxOwner& owner) {
        static std::string title;
        title = owner.window ? owner.window->windowTitle().toStdString() : std::string("none");
        return title.c_str();
    }

    QWidget main;
    QWidget login;
    QWidget other;
};

TEST_F(BoxOwnerChoice, NeverAHiddenWindowAndTaskModalWithoutAny) {
    QWidget* const child = new QWidget(&main);
    // Asked for by the hidden main window: the shown login window takes the box.
    EXPECT_STREQ(titleOf(platform::boxOwner(&main, {&main, &login})), "login");
    EXPECT_STREQ(titleOf(platform::boxOwner(child, {&main, &login})), "login");
    EXPECT_FALSE(platform::boxOwner(&main, {&main, &login}).taskModal);
    // The topmost shown window, past hidden and minimised ones.
    other.showMinimized();
    EXPECT_STREQ(titleOf(platform::boxOwner(nullptr, {&main, &other, &login})), "login");
    // A shown window that asks keeps its box; a widget in it gives its window.
    main.show();
    EXPECT_STREQ(titleOf(platform::boxOwner(child, {&login, &main})), "main");
    EXPECT_STREQ(titleOf(platform::boxOwner(nullptr, {&login, &main})), "login");
    EXPECT_STREQ(titleOf(platform::boxOwner(nullptr, {&main, &login})), "main");
    // Nothing shown: no owner, so the box holds off the whole program and comes to the front.
    main.hide();
    login.hide();
    other.hide();
    const platform::BoxOwner none = platform::boxOwner(&main, {&main, &login, &other});
    EXPECT_EQ(none.window, nullptr);
    EXPECT_TRUE(none.taskModal);
}

TEST_F(BoxOwnerChoice, ModalWindowComesBeforeTheOthers) {
    main.show();
    QDialog modal(&main);
    modal.setWindowTitle(QStringLiteral("modal"));
    modal.setWindowModality(Qt::ApplicationModal);
    modal.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::activeModalWidget(), &modal);
    // The error box asks for no window: the modal one, though the list has it last.
    EXPECT_STREQ(titleOf(platform::boxOwner(nullptr, {&main, &login, &modal})), "modal");
    modal.hide();
}

TEST_F(BoxOwnerChoice, ActiveWindowComesBeforeTheTopmost) {
    main.show();
    login.activateWindow();
    QCoreApplication::processEvents();
    if (QApplication::activeWindow() != &login)
        GTEST_SKIP() << "this window system does not activate windows on request";
    EXPECT_STREQ(titleOf(platform::boxOwner(nullptr, {&main, &login})), "login");
}

#ifndef _WIN32
// The Windows platform's own tests are in windows/.

// Linux's vfat keeps its dirty flag from mount to unmount: a flushed card is never clean.
TEST(RealPlatform, FlushVolumeSyncsAMountedVolumeOnly) {
    platform::LinuxPlatform system;
    QTemporaryDir folder;
    EXPECT_EQ(system.flushVolume(folder.path()), platform::VolumeFlush::Flushed);
    EXPECT_EQ(system.flushVolume(folder.path() + QStringLiteral("/gone")),
              platform::VolumeFlush::Failed);
}

// The real platform layer's boxes, offscreen: found while exec() runs and closed with OK.
TEST(RealPlatform, BoxesShowPlainTextWithTheirCaptionAndIcon) {
    struct Seen {
        QString caption;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        Qt::TextFormat format = Qt::AutoText;
        int buttons = 0;
    };
    const auto watch = [](Seen& seen) {
        QTimer::singleShot(0, [&seen] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            seen = Seen{box->windowTitle(), box->text(), box->icon(), box->textFormat(),
                        static_cast<int>(box->buttons().size())};
            box->button(QMessageBox::Ok)->click();
        });
    };
    platform::LinuxPlatform system;
    const QString markup = QStringLiteral("<b>폴더</b> <a href=\"http://x\">x</a>");
    QWidget owner;
    Seen message;
    watch(message);
    system.messageBox(&owner, markup, QStringLiteral("제목"));
    EXPECT_EQ(message.caption, QStringLiteral("제목"));
    EXPECT_EQ(message.text, markup);
    EXPECT_EQ(message.icon, QMessageBox::NoIcon);
    EXPECT_EQ(message.format, Qt::PlainText);
    EXPECT_EQ(message.buttons, 1);

    Seen error;
    watch(error);
    system.errorBox(markup);
    EXPECT_EQ(error.caption, platform::applicationTitle());
    EXPECT_EQ(error.text, platform::standardErrorText(markup));
    EXPECT_EQ(error.icon, QMessageBox::Critical);
    EXPECT_EQ(error.format, Qt::PlainText);
    EXPECT_EQ(error.buttons, 1);
}

TEST(RealPlatform, ExecutableDirIsTheProgramsOwnFolder) {
    platform::LinuxPlatform system;
    EXPECT_EQ(system.executableDir(), QCoreApplication::applicationDirPath() + QLatin1Char('/'));
}
#endif  // _WIN32

}  // namespace
