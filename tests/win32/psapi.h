// Stand-in for <psapi.h> on the host: the process-status calls the tool
// uses, implemented by fake_win32.cpp.
#pragma once

#include "windows.h"

BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned);
BOOL WINAPI EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded);
DWORD WINAPI GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR baseName, DWORD size);
DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size);
