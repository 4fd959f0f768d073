#include <QApplication>

#include "app/command_line.h"
#include "app/startup.h"
#include "platform/linux_platform.h"

int main(int argc, char* argv[]) {
    if (const auto exitCode = handleCommandLine(argc, argv))
        return *exitCode;
    QApplication app(argc, argv);
    platform::LinuxPlatform system;
    platform::install(&system);
    return runProgram();
}
