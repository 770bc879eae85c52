// What a case sets up on the machine and takes away again: folders and files
// under the program's root, the game's registry key in either view, and the
// stand-in clients, which are copies of this program. The root and the key
// carry marks, so a later start can tell what is the suite's to remove.
#include <windows.h>
#include <psapi.h>
#include <sddl.h>

#include <cstring>

#include "suite.h"

Machine g_machine;

namespace {

const char kVendorKey[] = "SOFTWARE\\Velmarc";
const char kSettingsKey[] = "SOFTWARE\\Velmarc\\Pexa\\Settings\\lanyue_cn";
const char kMarkName[] = "lanyue-suite.mark";
const char kMarkText[] = "Made by LanyueRepair-tests; removed by its next run.\r\n";
const char kMarkValue[] = "LanyueRepair-tests";

REGSAM ViewFlag(int view) { return view == 32 ? KEY_WOW64_32KEY : view == 64 ? KEY_WOW64_64KEY : 0; }

std::string Error(const char* what, const std::string& on, DWORD code) {
    char buf[64];
    snprintf(buf, sizeof buf, " failed (error %lu)", code);
    return std::string(what) + " " + ShowBytes(on) + buf;
}

LONG DeleteTree(HKEY parent, const std::string& name, REGSAM view) {
    HKEY key;
    LONG r = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | view, &key);
    if (r != ERROR_SUCCESS) return r;
    char child[256];
    DWORD size = sizeof child;
    while (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        if (DeleteTree(key, child, view) != ERROR_SUCCESS) break;
        size = sizeof child;
    }
    RegCloseKey(key);
    // RegDeleteKeyExA reaches the other view; Windows XP (32-bit) has no views and no such function.
    static auto delete_ex =
        Optional<LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD)>("advapi32.dll", "RegDeleteKeyExA");
    return delete_ex ? delete_ex(parent, name.c_str(), view, 0) : RegDeleteKeyA(parent, name.c_str());
}

LONG SetKeyAccess(int view, const char* sddl) {
    PSECURITY_DESCRIPTOR sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return static_cast<LONG>(GetLastError());
    HKEY key;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, WRITE_DAC | ViewFlag(view), &key);
    if (r == ERROR_SUCCESS) {
        r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
        RegCloseKey(key);
    }
    LocalFree(sd);
    return r;
}

LONG TryOpen(int view, REGSAM access) {
    HKEY key;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, access | ViewFlag(view), &key);
    if (r == ERROR_SUCCESS) RegCloseKey(key);
    return r;
}

// The programs running, by pid, with their image's path: of 64-bit ones too where Windows can
// tell a 32-bit program (Vista and later), else only of 32-bit ones.
std::vector<std::pair<DWORD, std::string>> Programs() {
    static auto full_name =
        Optional<BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD)>("kernel32.dll", "QueryFullProcessImageNameA");
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    std::vector<std::pair<DWORD, std::string>> found;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) return found;
    for (DWORD i = 0; i < bytes / sizeof(DWORD); i++) {
        const DWORD limited = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION, from Vista on
        HANDLE h =
            OpenProcess(full_name ? limited : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (!h) continue;
        HMODULE module;
        DWORD size = MAX_PATH * 2;
        char path[MAX_PATH * 2] = "";
        if (full_name)
            full_name(h, 0, path, &size);
        else if (EnumProcessModules(h, &module, sizeof module, &size))
            GetModuleFileNameExA(h, module, path, sizeof path);
        CloseHandle(h);
        found.emplace_back(ids[i], path);
    }
    return found;
}

bool UnderRoot(const std::string& path) {
    const std::string& root = g_machine.root;
    return path.size() > root.size() && _strnicmp(path.c_str(), root.c_str(), root.size()) == 0 &&
           path[root.size()] == '\\';
}

// A folder's entries but the root's mark: name, and whether it is a folder.
std::vector<std::pair<std::string, bool>> Entries(const std::string& dir) {
    std::vector<std::pair<std::string, bool>> found;
    WIN32_FIND_DATAA f;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &f);
    for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileA(h, &f)) {
        std::string name = f.cFileName;
        if (name != "." && name != ".." && !(dir == g_machine.root && name == kMarkName))
            found.emplace_back(name, (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    return found;
}

void Walk(const std::string& dir, Snapshot& out) {
    for (auto& [name, is_dir] : Entries(dir)) {
        std::string path = dir + "\\" + name, content;
        if (is_dir) {
            out[path] = "dir";
            Walk(path, out);
            continue;
        }
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        char buf[65536];
        DWORD got = 0;
        while (file != INVALID_HANDLE_VALUE && ReadFile(file, buf, sizeof buf, &got, nullptr) && got)
            content.append(buf, got);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        out[path] = "file of " + std::to_string(content.size()) + " bytes, " +
                    std::to_string(std::hash<std::string>{}(content));  // a file the tool changed differs
    }
}

void RemoveTree(const std::string& dir) {
    for (auto& [name, is_dir] : Entries(dir)) {
        std::string path = dir + "\\" + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (is_dir) {
            RemoveTree(path);
            RemoveDirectoryA(path.c_str());
        }
        // An image whose process has just ended can stay locked for a moment.
        for (int tries = 0; !is_dir && !DeleteFileA(path.c_str()) && tries < 50; tries++) Sleep(20);
    }
}

// The programs this program may end: any under its root, and the tool.
std::vector<std::pair<DWORD, std::string>> Ours() {
    std::vector<std::pair<DWORD, std::string>> ours;
    for (auto& [pid, path] : Programs())
        if (UnderRoot(path) || _stricmp(path.c_str(), g_machine.tool.c_str()) == 0)
            ours.emplace_back(pid, path);
    return ours;
}

std::string InView(int view) { return view == 64 ? " (64-bit view)" : view ? " (32-bit view)" : ""; }

}  // namespace

// The views a key can live in here: both under WOW64, one otherwise.
std::vector<int> Views() { return g_machine.wow64 ? std::vector<int>{32, 64} : std::vector<int>{0}; }

std::string At(const std::string& path) {
    return !path.empty() && path[0] == '@' ? g_machine.root + "\\" + path.substr(1) : path;
}

bool GameKeyIn(int view) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, 0, KEY_QUERY_VALUE | ViewFlag(view), &key))
        return false;
    RegCloseKey(key);
    return true;
}

bool KeyMarked(int view) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, 0, KEY_QUERY_VALUE | ViewFlag(view), &key))
        return false;
    bool marked = RegQueryValueExA(key, kMarkValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return marked;
}

// Why this machine is no place for the suite, checked before anything is touched: the
// game's key or the game itself is there, or this program cannot write HKLM, or a
// folder of the root's name is another's. What an earlier run left is no reason.
std::string Refusal() {
    char drive[MAX_PATH];
    GetSystemDirectoryA(drive, sizeof drive);
    g_machine.root = std::string(drive, 2) + "\\lanyue-suite";
    const char* nothing = " Nothing was touched.";
    for (int view : Views())
        if (GameKeyIn(view) && !KeyMarked(view))
            return std::string("HKLM\\") + kVendorKey + InView(view) +
                   " exists: the game is, or was, installed here. Run the tests on a test machine without "
                   "it." +
                   nothing;
    for (auto& [pid, path] : Programs()) {
        const char* name = strrchr(path.c_str(), '\\') ? strrchr(path.c_str(), '\\') + 1 : path.c_str();
        if (_stricmp(name, "game.exe") == 0 && !UnderRoot(path))
            return "game.exe runs (" + ShowBytes(path) +
                   "): the game runs here. Run the tests on a test machine without it." + nothing;
    }
    for (int view : Views()) {
        HKEY key;
        LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_CREATE_SUB_KEY | ViewFlag(view), &key);
        if (r != ERROR_SUCCESS)
            return "this program may not create keys under HKLM\\SOFTWARE (error " + std::to_string(r) +
                   "): run it as administrator, from an administrator's command prompt." + nothing;
        RegCloseKey(key);
    }
    std::string mark = g_machine.root + "\\" + kMarkName;
    if (GetFileAttributesA(g_machine.root.c_str()) != INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesA(mark.c_str()) == INVALID_FILE_ATTRIBUTES)
        return g_machine.root + " exists and carries no " + kMarkName + ": it is not this program's to use." +
               nothing;
    return "";
}

// The root, made and marked; marked already, what an earlier run left there goes first.
std::string MakeRoot() {
    if (GetFileAttributesA(g_machine.root.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryA(g_machine.root.c_str(), nullptr))
        return Error("creating", g_machine.root, GetLastError());
    std::string marked = WriteBytes(g_machine.root + "\\" + kMarkName, kMarkText);
    ClearAll();
    return marked;
}

void RemoveRoot() {
    DeleteFileA((g_machine.root + "\\" + kMarkName).c_str());
    RemoveDirectoryA(g_machine.root.c_str());
}

std::vector<std::string> Leftovers() {
    std::vector<std::string> found;
    for (auto& [pid, path] : Ours()) found.push_back("program " + ShowBytes(path) + " running");
    for (int view : Views())
        if (GameKeyIn(view)) found.push_back(std::string("HKLM\\") + kVendorKey + InView(view));
    for (auto& [name, is_dir] : Entries(g_machine.root))
        found.push_back(ShowBytes(g_machine.root + "\\" + name) + " in the root");
    return found;
}

void ClearAll() {
    for (auto& [pid, path] : Ours()) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (h) TerminateProcess(h, 1), WaitForSingleObject(h, 10000), CloseHandle(h);
    }
    for (int view : Views()) {
        if (!KeyMarked(view)) continue;
        SetKeyAccess(view, "D:(A;;KA;;;WD)");  // a locked key opens up again: we own it
        DeleteTree(HKEY_LOCAL_MACHINE, kVendorKey, ViewFlag(view));
    }
    RemoveTree(g_machine.root);
}

std::string MakeDirs(const std::string& path) {
    for (size_t at = path.find('\\', 3);; at = path.find('\\', at + 1)) {  // from the folder below the drive
        std::string part = path.substr(0, at);
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return Error("creating", part, GetLastError());
        if (at == std::string::npos) return "";
    }
}

std::string WriteBytes(const std::string& path, const std::string& content) {
    if (UnderRoot(path)) {
        std::string made = MakeDirs(path.substr(0, path.rfind('\\')));
        if (!made.empty()) return made;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD wrote = 0;
    bool ok = h != INVALID_HANDLE_VALUE &&
              ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &wrote, nullptr) &&
              wrote == content.size();
    DWORD code = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok ? "" : Error("writing", path, code);
}

// Each value written and read back as meant; the vendor key marked as the
// suite's first. `lock`: the key is then readable only, and checked to be.
std::string WriteValues(const std::vector<RegValue>& values, bool lock) {
    for (const RegValue& v : values) {
        HKEY key;
        REGSAM view = ViewFlag(v.view);
        LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                 &key, nullptr);
        if (r == ERROR_SUCCESS) {
            r = RegSetValueExA(key, kMarkValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(kMarkText),
                               sizeof kMarkText);
            RegCloseKey(key);
        }
        if (r == ERROR_SUCCESS)
            r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_QUERY_VALUE | view, nullptr, &key, nullptr);
        if (r != ERROR_SUCCESS) return Error("creating the key in view", std::to_string(v.view), r);
        DWORD number = v.type == REG_DWORD ? std::stoul(v.data) : 0;
        std::string data =
            v.type == REG_DWORD ? std::string(reinterpret_cast<char*>(&number), 4) : At(v.data) + '\0';
        r = RegSetValueExA(key, v.name.c_str(), 0, v.type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size()));
        std::string back(4096, '\0');
        DWORD type = 0, size = static_cast<DWORD>(back.size());
        if (r == ERROR_SUCCESS)
            r = RegQueryValueExA(key, v.name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&back[0]),
                                 &size);
        RegCloseKey(key);
        if (r != ERROR_SUCCESS) return Error("writing the value", v.name, r);
        back.resize(size);
        if (type != v.type || back != data)
            return "the value " + v.name + " reads back as " + ShowBytes(back) + ", meant " + ShowBytes(data);
    }
    if (!lock) return "";
    int view = values.back().view;
    LONG r =
        SetKeyAccess(view, "D:P(A;;KR;;;WD)");  // everyone may read; nobody, administrators included, write
    if (r != ERROR_SUCCESS) return Error("locking", kSettingsKey, r);
    if (TryOpen(view, KEY_ALL_ACCESS) != ERROR_ACCESS_DENIED ||
        TryOpen(view, KEY_SET_VALUE) != ERROR_ACCESS_DENIED ||
        TryOpen(view, KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return "the lock on the key is not effective";
    return "";
}

// A copy of this program under the client's name, started as a stand-in that
// lives as long as this program does; returns once it says it runs, under that path.
std::string StartClient(const std::string& path, std::vector<HANDLE>& started) {
    static int count;
    char self[MAX_PATH * 2];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string made = MakeDirs(path.substr(0, path.rfind('\\')));
    if (!made.empty()) return made;
    if (!CopyFileA(self, path.c_str(), FALSE)) return Error("copying this program to", path, GetLastError());
    std::string said =
        "lanyue-stand-in-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(count++);
    std::string line = "\"" + path + "\" --stand-in " + std::to_string(GetCurrentProcessId()) + " " + said;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, said.c_str());
    // No console: under Wine a console of its own would be another process (conhost) started for each client.
    if (!CreateProcessA(path.c_str(), &line[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &si, &pi)) {
        CloseHandle(ready);
        return Error("starting", path, GetLastError());
    }
    CloseHandle(pi.hThread);
    started.push_back(pi.hProcess);
    // Up and idle, not still starting: a client starting up would slow the tool's run.
    HANDLE either[] = {ready, pi.hProcess};
    DWORD woke = WaitForMultipleObjects(2, either, FALSE, 60000);
    CloseHandle(ready);
    if (woke != WAIT_OBJECT_0)
        return "the stand-in " + ShowBytes(path) +
               (woke == WAIT_OBJECT_0 + 1 ? " ended" : " did not start in 60 s");
    HMODULE module;
    DWORD needed;
    char seen[MAX_PATH * 2] = "";
    if (!EnumProcessModules(pi.hProcess, &module, sizeof module, &needed) ||
        !GetModuleFileNameExA(pi.hProcess, module, seen, sizeof seen) || path != seen)
        return "the stand-in " + ShowBytes(path) + " runs as " + ShowBytes(seen);
    return "";
}

// The tool takes the first client it is listed; the cases need them listed as started.
std::string CheckListedInOrder(const std::vector<HANDLE>& started) {
    std::vector<DWORD> want, got;
    for (HANDLE h : started) want.push_back(GetProcessId(h));
    for (auto& [pid, path] : Programs())
        for (DWORD w : want)
            if (pid == w) got.push_back(pid);
    return got == want ? "" : "the clients are not listed in the order they started";
}

void EndAll(std::vector<HANDLE>& started) {
    for (HANDLE h : started) {
        TerminateProcess(h, 1);
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
    started.clear();
}

Snapshot TakeSnapshot() {
    Snapshot out;
    Walk(g_machine.root, out);
    return out;
}
