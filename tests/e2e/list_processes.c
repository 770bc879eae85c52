/* Lists processes the way the repair tool sees them (EnumProcesses order,
 * main module path as ANSI bytes), after the active ANSI code page and
 * whether the game's vendor key exists in either registry view, so the
 * runner knows a client is visible and in which order before the real run,
 * and what an earlier case left behind.
 * It also brings Wine's desktop up, so explorer.exe is not started by (and
 * does not share the standard error of) the program under test. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

static int key_exists(REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmarc", 0, KEY_QUERY_VALUE | view, &key))
        return 0;
    RegCloseKey(key);
    return 1;
}

int main(void)
{
    DWORD ids[4096], bytes = 0, i;
    GetDesktopWindow();
    printf("acp=%u\n", GetACP());
    printf("key32=%d\n", key_exists(KEY_WOW64_32KEY));
    printf("key64=%d\n", key_exists(KEY_WOW64_64KEY));
    if (!EnumProcesses(ids, sizeof ids, &bytes))
        return 1;
    for (i = 0; i < bytes / sizeof ids[0]; i++) {
        char path[MAX_PATH * 2] = "";
        HMODULE module;
        DWORD needed;
        HANDLE h;
        if (ids[i] == GetCurrentProcessId())
            continue;
        h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (!h)
            continue;
        if (EnumProcessModules(h, &module, sizeof module, &needed))
            GetModuleFileNameExA(h, module, path, sizeof path);
        CloseHandle(h);
        printf("%lu\t%s\n", (unsigned long)ids[i], path);
    }
    return 0;
}
