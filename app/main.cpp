#include <QApplication>

#include "app/startup.h"
#ifdef _WIN32
#include "platform/windows/windows_platform.h"
using SystemPlatform = platform::WindowsPlatform;
#else
#include "platform/linux_platform.h"
using SystemPlatform = platform::LinuxPlatform;
#endif

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    SystemPlatform system;
    platform::install(&system);
    return runProgram();
}
