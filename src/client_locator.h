// Finds the running game client: the full path of the first process, in the
// system's order, whose executable is named game.exe (any letter case).
#pragma once

#include <string>

// Empty when no client is running or none could be examined.
std::string FindGameProcessPath();
