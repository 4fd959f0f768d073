#include <QApplication>

#include "app/command_line.h"
#include "app/startup.h"
#ifdef _WIN32
#include "platform/windows/windows_platform.h"
using SystemPlatform = platform::WindowsPlatform;
#else
#include "platform/linux_platform.h"
using SystemPlatform = platform::LinuxPlatform;
#endif

int main(int argc, char* argv[]) {
    if (const auto exitCode = handleCommandLine(argc, argv))
        return *exitCode;
    QApplication app(argc, argv);
    SystemPlatform system;
    platform::install(&system);
    return runProgram();
}
