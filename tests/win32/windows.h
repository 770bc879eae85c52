// Stand-in for <windows.h> on the host: just the types, constants and calls
// the tool uses, with the platform's signatures. The calls are implemented
// by fake_win32.cpp, which the tests script through fake_win32.h.
#pragma once

#include <cstdint>

#define WINAPI
#define FALSE 0
#define TRUE 1
#define MAX_PATH 260

// Sizes as on Windows: DWORD and LONG are 32 bits even on an LP64 host.
typedef int BOOL;
typedef std::int32_t LONG;
typedef std::uint32_t DWORD;
typedef std::uint32_t UINT;
typedef unsigned char BYTE;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_INVALID_PARAMETER 87
#define ERROR_MORE_DATA 234

#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define KEY_QUERY_VALUE 0x0001
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define MB_OK 0x00000000u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize);
LONG WINAPI RegCloseKey(HKEY key);

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// The C runtime's case-insensitive compare; it folds ASCII letters only.
extern "C" int _stricmp(const char* a, const char* b);
