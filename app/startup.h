#pragma once

// Creates the hidden main window, runs the login gate and, after an accepted login, the
// main window until it is closed. Needs a QApplication and an installed platform layer.
int runProgram();

// After the window has gone: exitCode, for main() to return. A call on a card that has
// stopped answering is not waited for beyond a moment: the process ends here at once (the
// system itself still waits for a call the card has already taken; the card keeps its old
// files).
int endProgram(int exitCode);
