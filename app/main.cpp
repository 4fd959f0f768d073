#include <QApplication>

#include "app/startup.h"
#include "platform/linux_platform.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    platform::LinuxPlatform system;
    platform::install(&system);
    return runProgram();
}
