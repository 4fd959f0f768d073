#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>

// Creates the hidden main window, runs the login gate and, after an accepted login, the
// main window until it is closed. Needs a QApplication and an installed platform layer.
int runProgram();

// What the end of the program needs beyond the card calls.
struct ProgramEnd {
    // Waits up to the given time for the platform's own calls into the system; true when
    // none is out.
    std::function<bool(std::chrono::milliseconds)> platformCalls;
    // Runs before the process is ended at once: a process the system keeps for a stuck call
    // must hold nothing that stops the next start.
    std::function<void()> release;
    // Ends the process without destructors (tests put a process that lingers in its place).
    void (*quickExit)(int) = std::_Exit;
};

// After the window has gone: exitCode, for main() to return. A call on a card that has
// stopped answering is not waited for beyond a moment: the process ends here at once (the
// system itself still waits for a call the card has already taken; the card keeps its old
// files).
int endProgram(int exitCode, const ProgramEnd& end = {});
