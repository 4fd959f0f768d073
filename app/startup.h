#pragma once

// Creates the hidden main window, runs the login gate and, after an accepted login, the
// main window until it is closed. Needs a QApplication and an installed platform layer.
int runProgram();
