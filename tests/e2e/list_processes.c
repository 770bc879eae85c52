/* Lists processes the way the repair tool sees them (EnumProcesses order,
 * main module path as ANSI bytes), after the active ANSI code page, so the
 * runner knows a client is visible and in which order before the real run.
 * It also brings Wine's desktop up, so explorer.exe is not started by (and
 * does not share the standard error of) the program under test. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

int main(void)
{
    DWORD ids[4096], bytes = 0, i;
    GetDesktopWindow();
    printf("acp=%u\n", GetACP());
    if (!EnumProcesses(ids, sizeof ids, &bytes))
        return 1;
    for (i = 0; i < bytes / sizeof ids[0]; i++) {
        char path[MAX_PATH * 2] = "";
        HMODULE module;
        DWORD needed;
        HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (!h)
            continue;
        if (EnumProcessModules(h, &module, sizeof module, &needed))
            GetModuleFileNameExA(h, module, path, sizeof path);
        CloseHandle(h);
        printf("%lu\t%s\n", (unsigned long)ids[i], path);
    }
    return 0;
}
