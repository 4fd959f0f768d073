#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// What the program answers to its command-line arguments (those after the program's name).
struct CommandLineAnswer {
    bool startProgram = true;  // no arguments: the windows open as usual
    int exitCode = 0;
    QString out;
    QString err;
};

CommandLineAnswer answerCommandLine(const QStringList& arguments);

// Prints the answer for argv; an exit code when the program should end without opening a
// window. Runs before QApplication so that --version needs no display.
std::optional<int> handleCommandLine(int argc, char* argv[]);
