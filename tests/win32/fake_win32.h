// Script and inspect the stand-in Win32 layer: a process table, the HKLM
// registry, the file system's answers and the message boxes. It behaves like
// the platform, including names cut short with or without their terminator
// and XP's counts, and it records every call the tool makes, plus any misuse.
#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

// What fails when the tool examines one process.
enum class Fails { Nothing, Open, ModuleList, BaseName, FullPath };

// How a name longer than the caller's buffer comes back.
enum class Cut {
    Terminated,    // size - 1 bytes and a zero; returns size - 1
    Unterminated,  // size bytes, no zero; returns size (Windows XP)
};

struct Process {
    DWORD id;
    std::string baseName;
    std::string fullPath;
    Fails fails = Fails::Nothing;
    bool countsUtf16 = false;  // the name queries return UTF-16 units, not bytes (Windows XP)
};

// Registry key and value names match without regard to ASCII letter case.
bool SameRegistryName(const std::string& a, const std::string& b);
struct RegistryNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

struct RegistryValue {
    DWORD type;
    std::string bytes;  // stored as is: a terminator is present only if written here
};

struct Box {
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
    std::size_t foldersRequestedBefore;  // how many CreateDirectoryA calls came first
};

struct KeyOpen {
    std::string subKey;
    DWORD options;
    REGSAM access;
};

struct ProcessOpen {
    DWORD id;
    DWORD access;
    BOOL inherit;
};

struct Platform {
    // Scripted state.
    std::vector<Process> processes;   // in the order EnumProcesses lists them
    DWORD enumProcessesFailFrom = 0;  // EnumProcesses fails from this call on (1: the first); 0: never
    Cut cut = Cut::Terminated;
    std::map<std::string, std::map<std::string, RegistryValue, RegistryNameLess>, RegistryNameLess>
        hklm;                                   // subkey -> values
    LONG openKeyError = ERROR_SUCCESS;          // e.g. ERROR_ACCESS_DENIED for a present key
    std::set<std::string> directoriesThatFail;  // CreateDirectoryA answers FALSE

    // Recorded calls.
    std::vector<DWORD> enumProcessesSizes;
    std::set<DWORD> listedIds;  // every id EnumProcesses wrote into a caller's array
    std::vector<ProcessOpen> processOpens;
    std::vector<DWORD> moduleListSizes;  // the byte size each EnumProcessModules call stated
    std::vector<KeyOpen> keyOpens;
    std::vector<std::string> valueQueries;
    std::vector<std::string> directoryRequests;
    std::vector<Box> boxes;

    // Bookkeeping.
    std::map<HANDLE, const Process*> liveProcessHandles;
    std::map<HKEY, std::string> liveKeys;  // key -> subkey
    std::vector<std::string> misuse;       // calls the real platform would reject or punish
};

Platform& platform();
void Reset();

}  // namespace fake
