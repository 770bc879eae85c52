// Reads the installation directory the game records under HKLM, and requests
// its patch folder. The stored value is untrusted input: it may lack its
// terminator or be shorter than what an earlier read left in the buffer.
#include "registry_route.h"

#include <windows.h>

#include <cstring>

#include "patch_folder.h"

namespace {

const char kSettingsKey[] = "SOFTWARE\\Velmarc\\Pexa\\Settings\\lanyue_cn";
const char kInstallPathValue[] = "InstallPath";
const char kEmpty[] = "";

char installPath[1024];

// Queries the recorded path into the buffer. False when there is none; the
// buffer then holds whatever the query wrote, perhaps without a terminator.
bool QueryInstallPath() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = sizeof installPath;
    const LONG result =
        RegQueryValueExA(key, kInstallPathValue, nullptr, &type, reinterpret_cast<BYTE*>(installPath), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) return false;

    // The text ends at the first zero among the bytes the query returned.
    if (size > sizeof installPath) size = sizeof installPath;
    if (std::memchr(installPath, '\0', size) == nullptr) {
        if (size == sizeof installPath) return false;  // no room left for a terminator
        installPath[size] = '\0';
    }
    return true;
}

}  // namespace

const char* ReadInstallPath() {
    if (QueryInstallPath()) return installPath;
    installPath[0] = '\0';
    return kEmpty;
}

bool CreatePatchFolderFromRegistry() {
    const char* directory = ReadInstallPath();
    if (directory == nullptr || directory[0] == '\0') return false;
    RequestPatchFolder(directory);
    return true;
}
