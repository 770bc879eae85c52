// Scans the process list for the game client. Names and paths the platform
// may have cut short are never used, so no folder is ever requested in a
// directory the client does not live in.
#include "client_locator.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "messages.h"

namespace {

const char kClientName[] = "game.exe";
const DWORD kInitialIds = 1024;
// Far beyond any real process count; stops the doubling should a platform
// always report a full array.
const DWORD kMaxIds = 1u << 20;

// The text a name query wrote into its MAX_PATH buffer: up to the first
// zero. On XP the ANSI calls count UTF-16 units, not bytes, so their result
// does not mark the end of a GBK text. Empty when the call failed, wrote no
// zero (XP cuts without one), or filled the buffer: that text cannot be told
// from one cut short.
std::string TextUpToZero(const char (&buffer)[MAX_PATH], DWORD result) {
    if (result == 0) return {};
    const void* zero = std::memchr(buffer, '\0', MAX_PATH);
    if (zero == nullptr) return {};
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(zero) - buffer);
    if (length >= MAX_PATH - 1) return {};
    return std::string(buffer, length);
}

// The full path of the process's main executable when it is the client,
// otherwise empty.
std::string ClientPathOf(HANDLE process) {
    HMODULE module = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(process, &module, sizeof(HMODULE), &needed)) return {};

    // Zero-filled, so a zero found is one the platform wrote.
    char name[MAX_PATH] = {};
    const DWORD nameResult = GetModuleBaseNameA(process, module, name, MAX_PATH);
    if (_stricmp(TextUpToZero(name, nameResult).c_str(), kClientName) != 0) return {};

    char path[MAX_PATH] = {};
    const DWORD pathResult = GetModuleFileNameExA(process, module, path, MAX_PATH);
    return TextUpToZero(path, pathResult);
}

}  // namespace

std::string FindGameProcessPath() {
    // The usual case fits the fixed array; only a crowded system allocates.
    DWORD localIds[kInitialIds];
    DWORD* ids = localIds;
    DWORD capacity = kInitialIds;
    DWORD bytesReturned = 0;
    if (!EnumProcesses(ids, capacity * sizeof(DWORD), &bytesReturned)) {
        // Through the C runtime: iostreams would add most of the image's size
        // for this one line, and their static start-up does not survive every
        // platform the tool runs on. A line that cannot be written has nowhere
        // else to go, so the results are not looked at.
        (void)std::fputs(messages::kEnumProcessesFailed, stderr);
        (void)std::fputc('\n', stderr);
        (void)std::fflush(stderr);
        return {};
    }
    // A full array may have left processes out: ask again with more room. Each
    // retry gets its own array, so one that fails leaves the last list to scan.
    std::vector<DWORD> grownIds;
    std::vector<DWORD> retryIds;
    while (bytesReturned >= capacity * sizeof(DWORD) && capacity < kMaxIds) {
        const DWORD larger = capacity * 2;
        retryIds.assign(larger, 0);
        DWORD retryBytes = 0;
        if (!EnumProcesses(retryIds.data(), larger * sizeof(DWORD), &retryBytes)) break;
        grownIds.swap(retryIds);
        ids = grownIds.data();
        capacity = larger;
        bytesReturned = retryBytes;
    }

    DWORD count = bytesReturned / sizeof(DWORD);
    if (count > capacity) count = capacity;
    for (DWORD i = 0; i < count; ++i) {
        if (ids[i] == 0) continue;  // the idle process is never a client
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (!process) continue;
        std::string path = ClientPathOf(process);
        CloseHandle(process);
        if (!path.empty()) return path;
    }
    return {};
}
