#include "app/command_line.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

#include "service/config.h"

namespace {

QString versionText() {
    return QStringLiteral("drivoro-update-manager " DRIVORO_VERSION "\n서비스 주소: %1\n")
        .arg(Config::instance().serviceHost);
}

QString helpText() {
    return versionText() + QStringLiteral(
                               "\n사용법: drivoro-update-manager [--help | --version]\n"
                               "  -h, --help   이 도움말을 보이고 끝냅니다\n"
                               "  --version    버전과 서비스 주소를 보이고 끝냅니다\n"
                               "인자 없이 실행하면 로그인 창이 열립니다.\n");
}

// A window program gets no console of its own: the answer goes to the console it was started
// from, if any, and nowhere visible otherwise. A redirected output is kept as it is.
void attachParentConsole() {
#ifdef _WIN32
    const auto missing = [](DWORD which) {
        const HANDLE handle = GetStdHandle(which);
        return handle == nullptr || handle == INVALID_HANDLE_VALUE;
    };
    const bool outMissing = missing(STD_OUTPUT_HANDLE);
    const bool errMissing = missing(STD_ERROR_HANDLE);
    if (!outMissing && !errMissing)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (outMissing)
        std::freopen("CONOUT$", "w", stdout);
    if (errMissing)
        std::freopen("CONOUT$", "w", stderr);
#endif
}

}  // namespace

CommandLineAnswer answerCommandLine(const QStringList& arguments) {
    if (arguments.isEmpty())
        return {};
    if (arguments.size() == 1) {
        const QString& argument = arguments.front();
        if (argument == QLatin1String("--version"))
            return {false, 0, versionText(), {}};
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return {false, 0, helpText(), {}};
    }
    // A mistyped option must not quietly open the windows instead.
    return {false, 2, {}, helpText()};
}

std::optional<int> handleCommandLine(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLineAnswer answer = answerCommandLine(arguments);
    if (answer.startProgram)
        return std::nullopt;
    attachParentConsole();
    std::fputs(answer.out.toLocal8Bit().constData(), stdout);
    std::fputs(answer.err.toLocal8Bit().constData(), stderr);
    return answer.exitCode;
}
