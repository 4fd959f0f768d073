#include <gtest/gtest.h>
#include <QApplication>
#include <vector>

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    // Offscreen unless the run gives a display of its own (a run under Xvfb keeps it).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
#ifdef _WIN32
        // Under Wine the variable does not reach the program; the argument does.
        static char option[] = "-platform";
        static char offscreen[] = "offscreen";
        args.insert(args.begin() + 1, {option, offscreen});
#else
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    QApplication app(count, args.data());
    ::testing::InitGoogleTest(&count, args.data());
    return RUN_ALL_TESTS();
}
