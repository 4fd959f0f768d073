// The command line: --version and --help answer and end; no arguments open the windows; any
// other argument is refused with the help on stderr.
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "service/config.h"

namespace {

// A service host that differs from every other built-in address, so the answer must name
// the right one.
class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        Config& config = Config::instance();
        config.serviceHost = QStringLiteral("updates.example.com:8080");
        config.ipEchoHost = QStringLiteral("ip.example.com");
        config.makerDownloadHost = QStringLiteral("download.example.com");
        config.makerSupportHost = QStringLiteral("support.example.com");
    }
    void TearDown() override { Config::instance() = saved; }
    Config saved = Config::instance();
};

struct Case {
    const char* name;
    QStringList arguments;
    bool startProgram;
    int exitCode;
    bool onStderr;  // the text goes to stderr rather than stdout
    bool withUsage;
};

TEST_F(CommandLine, AnswersEachArgumentList) {
    const QString versionLine = QStringLiteral("drivoro-update-manager " DRIVORO_VERSION "\n");
    const QString hostLine = QStringLiteral("서비스 주소: updates.example.com:8080\n");
    const Case cases[] = {
        {"no arguments", {}, true, 0, false, false},
        {"version", {"--version"}, false, 0, false, false},
        {"help", {"--help"}, false, 0, false, true},
        {"short help", {"-h"}, false, 0, false, true},
        {"mistyped option", {"--verison"}, false, 2, true, true},
        {"empty argument", {""}, false, 2, true, true},
        {"a file name", {"backbbinfo.cfg"}, false, 2, true, true},
        {"two known options", {"--version", "--help"}, false, 2, true, true},
        {"known option with a value", {"--version=2"}, false, 2, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandLineAnswer answer = answerCommandLine(c.arguments);
        EXPECT_EQ(answer.startProgram, c.startProgram);
        EXPECT_EQ(answer.exitCode, c.exitCode);
        if (c.startProgram) {
            EXPECT_EQ(answer.out, QString());
            EXPECT_EQ(answer.err, QString());
            continue;
        }
        const QString& text = c.onStderr ? answer.err : answer.out;
        EXPECT_EQ((c.onStderr ? answer.out : answer.err), QString());
        EXPECT_TRUE(text.startsWith(versionLine + hostLine)) << text.toStdString();
        EXPECT_EQ(text.contains(QStringLiteral("사용법: drivoro-update-manager")), c.withUsage)
            << text.toStdString();
    }
}

}  // namespace
