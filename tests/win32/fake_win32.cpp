// The stand-in Win32 calls, answering from and recording into fake::platform().
#include "fake_win32.h"

#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace fake {
namespace {

Platform state;
std::uintptr_t nextHandle = 0x1000;
// Written into the part of the caller's id array that EnumProcesses leaves
// unused, as the platform leaves whatever was there: never listed, so a scan
// that reads past the listed ids opens it and fails the listed-ids check.
const DWORD kNeverListedId = 0xFFFFFFFCu;

template <typename Handle>
Handle NewHandle() {
    nextHandle += 4;
    return reinterpret_cast<Handle>(nextHandle);
}

HMODULE MainModuleOf(const Process& process) {
    return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x00400000u + process.id * 0x10000u));
}

// The process behind a live handle, or null (and a note) for anything else.
const Process* Lookup(HANDLE handle, const char* call) {
    auto found = state.liveProcessHandles.find(handle);
    if (found == state.liveProcessHandles.end()) {
        state.misuse.push_back(std::string(call) + " on a handle that is not open");
        return nullptr;
    }
    return found->second;
}

// Copies text out as the platform does, cutting it to the caller's buffer.
DWORD CopyOut(const std::string& text, char* buffer, DWORD size) {
    if (size == 0) return 0;
    if (text.size() < size) {
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        return static_cast<DWORD>(text.size());
    }
    if (state.cut == Cut::Unterminated) {
        std::memcpy(buffer, text.data(), size);
        return size;
    }
    std::memcpy(buffer, text.data(), size - 1);
    buffer[size - 1] = '\0';
    return size - 1;
}

unsigned char FoldAscii(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// XP's count of GBK bytes: a lead byte (0x81 and up) and its trail byte are
// one UTF-16 unit.
DWORD Utf16Units(const char* text, DWORD bytes) {
    DWORD units = 0;
    for (DWORD i = 0; i < bytes; ++units) {
        i += (static_cast<unsigned char>(text[i]) >= 0x81 && i + 1 < bytes) ? 2 : 1;
    }
    return units;
}

// The two name queries: the same checks, then one of the process's texts.
DWORD ModuleText(HANDLE process, HMODULE module, const char* call, Fails failure, std::string Process::*text,
                 char* buffer, DWORD size) {
    const Process* found = Lookup(process, call);
    if (!found) return 0;
    if (module != MainModuleOf(*found)) state.misuse.push_back(std::string(call) + ": not the main module");
    if (found->fails == failure) return 0;
    const DWORD written = CopyOut(found->*text, buffer, size);
    return found->countsUtf16 ? Utf16Units(buffer, written) : written;
}

}  // namespace

Platform& platform() { return state; }

bool SameRegistryName(const std::string& a, const std::string& b) {
    return !RegistryNameLess()(a, b) && !RegistryNameLess()(b, a);
}

bool RegistryNameLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return FoldAscii(x) < FoldAscii(y); });
}

void Reset() { state = Platform{}; }

}  // namespace fake

using fake::state;

BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned) {
    state.enumProcessesSizes.push_back(bytes);
    if (state.enumProcessesFailFrom != 0 && state.enumProcessesSizes.size() >= state.enumProcessesFailFrom) {
        return FALSE;
    }
    const std::size_t room = bytes / sizeof(DWORD);
    const std::size_t fits = std::min<std::size_t>(state.processes.size(), room);
    for (std::size_t i = 0; i < fits; ++i) {
        processIds[i] = state.processes[i].id;
        state.listedIds.insert(processIds[i]);
    }
    std::fill(processIds + fits, processIds + room, fake::kNeverListedId);
    *bytesReturned = static_cast<DWORD>(fits * sizeof(DWORD));
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
    state.processOpens.push_back({processId, desiredAccess, inheritHandle});
    if (processId == 0) return nullptr;  // the idle process never opens
    for (const auto& process : state.processes) {
        if (process.id != processId) continue;
        if (process.fails == fake::Fails::Open) return nullptr;
        HANDLE handle = fake::NewHandle<HANDLE>();
        state.liveProcessHandles[handle] = &process;
        return handle;
    }
    return nullptr;  // gone since the listing
}

BOOL WINAPI CloseHandle(HANDLE object) {
    if (state.liveProcessHandles.erase(object) == 0) {
        state.misuse.push_back("CloseHandle on a handle that is not open");
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded) {
    state.moduleListSizes.push_back(bytes);
    const fake::Process* found = fake::Lookup(process, "EnumProcessModules");
    if (!found || found->fails == fake::Fails::ModuleList) return FALSE;
    // The exe, ntdll and kernel32, as many as the given size has room for: a
    // size larger than the caller's buffer overruns it, as on Windows.
    const HMODULE list[] = {fake::MainModuleOf(*found),
                            reinterpret_cast<HMODULE>(std::uintptr_t{0x7C900000u}),
                            reinterpret_cast<HMODULE>(std::uintptr_t{0x7C800000u})};
    const std::size_t fits = std::min<std::size_t>(std::size(list), bytes / sizeof(HMODULE));
    for (std::size_t i = 0; i < fits; ++i) modules[i] = list[i];
    *bytesNeeded = static_cast<DWORD>(sizeof list);
    return TRUE;
}

DWORD WINAPI GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR baseName, DWORD size) {
    return fake::ModuleText(process, module, "GetModuleBaseNameA", fake::Fails::BaseName,
                            &fake::Process::baseName, baseName, size);
}

DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size) {
    return fake::ModuleText(process, module, "GetModuleFileNameExA", fake::Fails::FullPath,
                            &fake::Process::fullPath, fileName, size);
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    state.keyOpens.push_back({subKey, options, desired});
    if (key != HKEY_LOCAL_MACHINE) {
        state.misuse.push_back("RegOpenKeyExA below a root other than HKLM");
        return ERROR_FILE_NOT_FOUND;
    }
    if (state.hklm.count(subKey) == 0) return ERROR_FILE_NOT_FOUND;
    if (state.openKeyError != ERROR_SUCCESS) return state.openKeyError;
    HKEY opened = fake::NewHandle<HKEY>();
    state.liveKeys[opened] = subKey;
    *result = opened;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
    state.valueQueries.push_back(valueName ? valueName : "");
    auto open = state.liveKeys.find(key);
    if (open == state.liveKeys.end()) {
        state.misuse.push_back("RegQueryValueExA on a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    if (reserved != nullptr) state.misuse.push_back("RegQueryValueExA: reserved must be null");
    const auto& values = state.hklm[open->second];
    auto found = values.find(valueName ? valueName : "");
    if (found == values.end()) return ERROR_FILE_NOT_FOUND;
    const fake::RegistryValue& value = found->second;
    if (type) *type = value.type;
    const DWORD needed = static_cast<DWORD>(value.bytes.size());
    if (data == nullptr) {
        if (dataSize) *dataSize = needed;
        return ERROR_SUCCESS;
    }
    if (dataSize == nullptr) return ERROR_INVALID_PARAMETER;
    const DWORD room = *dataSize;
    *dataSize = needed;
    if (needed > room) {
        // The buffer's contents are undefined after this; leave part of the value in it.
        std::memcpy(data, value.bytes.data(), room);
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, value.bytes.data(), needed);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    if (state.liveKeys.erase(key) == 0) {
        state.misuse.push_back("RegCloseKey on a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes) {
    if (securityAttributes != nullptr) state.misuse.push_back("CreateDirectoryA: security attributes given");
    state.directoryRequests.push_back(pathName);
    return state.directoriesThatFail.count(pathName) ? FALSE : TRUE;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    state.boxes.push_back(
        {owner, text ? text : "", caption ? caption : "", type, state.directoryRequests.size()});
    return 1;  // IDOK
}

extern "C" int _stricmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int difference = fake::FoldAscii(*a) - fake::FoldAscii(*b);
        if (difference != 0 || *a == '\0') return difference;
    }
}
