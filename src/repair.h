// The tool's whole run: find the installation, request its patch folder, say
// the outcome in one message box, and exit 0.
#pragma once

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
