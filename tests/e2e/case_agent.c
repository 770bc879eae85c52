/* Stays in a prefix's session and does, on request, what a case needs done
 * inside Wine, so a case starts no Wine process of its own but the clients and
 * the tool. One request a line on stdin, words separated by tabs, UTF-8:
 *   ID list                 the ANSI code page, which registry views hold the
 *                           vendor's key, then the processes as the tool sees
 *                           them (EnumProcesses order, ANSI path), itself left out
 *   ID set KEY VIEW TYPE NAME DATA [lock]
 *                           writes a value under KEY (HKLM\... or HKCU\...; VIEW
 *                           32, 64, or - for the process's own) and prints it as
 *                           stored; "lock" then leaves the game's settings key
 *                           readable only (as HKLM looks to a standard user), or
 *                           fails. The workbench sets up its prefixes this way too.
 *   ID clear                opens the key up again and removes the vendor's key
 *                           from both views
 * Each answer is "begin ID", its lines, then "end ID RC" (RC 0: done).
 * Run as "case_agent list" it answers that one request, bare, and exits: the
 * benchmark lists processes with a program of its own that way. */
#include <windows.h>
#include <psapi.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const wchar_t key_path[] = L"SOFTWARE\\Velmarc\\Pexa\\Settings\\lanyue_cn";

static void print_utf8(const wchar_t *text)
{
    char out[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, NULL, NULL);
    fputs(n > 0 ? out : "?", stdout);
}

static int key_exists(REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmarc", 0, KEY_QUERY_VALUE | view, &key))
        return 0;
    RegCloseKey(key);
    return 1;
}

static int list(void)
{
    static DWORD ids[4096];
    DWORD bytes = 0, i;
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

static REGSAM view_of(const wchar_t *view)
{
    if (wcscmp(view, L"32") == 0)
        return KEY_WOW64_32KEY;
    if (wcscmp(view, L"64") == 0)
        return KEY_WOW64_64KEY;
    return 0;
}

/* Writes one value, then prints what a query of it returns (DWORDs as 0x...,
 * as reg.exe shows them): VIEW, NAME, TYPE, DATA. */
static int set_value(const wchar_t *path, const wchar_t *view, const wchar_t *type, const wchar_t *name,
                     const wchar_t *data)
{
    HKEY key, root;
    DWORD kind, dword, size;
    static wchar_t back[4096];
    LONG r;
    if (wcsncmp(path, L"HKLM\\", 5) == 0)
        root = HKEY_LOCAL_MACHINE;
    else if (wcsncmp(path, L"HKCU\\", 5) == 0)
        root = HKEY_CURRENT_USER;
    else {
        printf("key: not under HKLM or HKCU\n");
        return 8;
    }
    r = RegCreateKeyExW(root, path + 5, 0, NULL, 0, KEY_SET_VALUE | KEY_QUERY_VALUE | view_of(view), NULL, &key,
                        NULL);
    if (r != ERROR_SUCCESS) {
        printf("create: %ld\n", r);
        return 3;
    }
    if (wcscmp(type, L"REG_DWORD") == 0) {
        dword = wcstoul(data, NULL, 10);
        r = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&dword, sizeof dword);
    } else {
        kind = wcscmp(type, L"REG_EXPAND_SZ") == 0 ? REG_EXPAND_SZ : REG_SZ;
        r = RegSetValueExW(key, name, 0, kind, (const BYTE *)data, (DWORD)((wcslen(data) + 1) * sizeof *data));
    }
    size = sizeof back - sizeof back[0];
    if (r == ERROR_SUCCESS)
        r = RegQueryValueExW(key, name, NULL, &kind, (BYTE *)back, &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        printf("set: %ld\n", r);
        return 4;
    }
    back[size / sizeof back[0]] = 0;
    print_utf8(view);
    putchar('\t');
    print_utf8(name);
    if (kind == REG_DWORD) {
        memcpy(&dword, back, sizeof dword);
        printf("\tREG_DWORD\t0x%lx\n", (unsigned long)dword);
    } else {
        printf("\t%s\t", kind == REG_EXPAND_SZ ? "REG_EXPAND_SZ" : kind == REG_SZ ? "REG_SZ" : "other");
        print_utf8(back);
        putchar('\n');
    }
    return 0;
}

static LONG try_open(REGSAM access)
{
    HKEY key;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, access, &key);
    if (r == ERROR_SUCCESS)
        RegCloseKey(key);
    return r;
}

/* Everyone may read; nobody, administrators included, may write. The owner
 * keeps WRITE_DAC, so the key opens up again after. */
static LONG set_access(int locked)
{
    PSECURITY_DESCRIPTOR sd;
    HKEY key;
    LONG r;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(locked ? L"D:P(A;;KR;;;WD)" : L"D:(A;;KA;;;WD)",
                                                             SDDL_REVISION_1, &sd, NULL))
        return (LONG)GetLastError();
    r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, WRITE_DAC, &key);
    if (r == ERROR_SUCCESS) {
        r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
        RegCloseKey(key);
    }
    LocalFree(sd);
    return r;
}

static int lock_key(void)
{
    LONG r = set_access(1);
    if (r != ERROR_SUCCESS) {
        printf("lock: %ld\n", r);
        return 5;
    }
    if (try_open(KEY_ALL_ACCESS) != ERROR_ACCESS_DENIED || try_open(KEY_SET_VALUE) != ERROR_ACCESS_DENIED
        || try_open(KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        printf("lock not effective\n");
        return 6;
    }
    return 0;
}

static int clear_keys(void)
{
    static const REGSAM views[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    size_t i;
    set_access(0);
    for (i = 0; i < sizeof views / sizeof views[0]; i++) {
        HKEY software;
        LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | views[i], &software);
        if (r == ERROR_SUCCESS) {
            r = RegDeleteTreeW(software, L"Velmarc");
            RegCloseKey(software);
        }
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) {
            printf("clear: %ld\n", r);
            return 7;
        }
    }
    return 0;
}

/* One request line (UTF-8, tab-separated) read byte by byte from stdin; 0 at its end. */
static int read_request(char *line, size_t size)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    size_t n = 0;
    DWORD got;
    char c;
    while (ReadFile(in, &c, 1, &got, NULL) && got == 1) {
        if (c == '\n') {
            line[n] = 0;
            return 1;
        }
        if (n + 1 < size)
            line[n++] = c;
    }
    return 0;
}

int main(int argc, char **argv)
{
    static char line[16384];
    static wchar_t wide[16384];
    wchar_t *words[16], *p;
    int count, rc;
    GetDesktopWindow(); /* the desktop comes up now, not with the program under test */
    if (argc == 2 && strcmp(argv[1], "list") == 0)
        return list();
    while (read_request(line, sizeof line)) {
        if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, sizeof wide / sizeof wide[0]))
            continue;
        /* Split at tabs, keeping empty words: an empty value is a case of its own. */
        count = 1;
        words[0] = wide;
        for (p = wide; *p && count < 16; p++) {
            if (*p == L'\t') {
                *p = 0;
                words[count++] = p + 1;
            }
        }
        if (count < 2)
            continue;
        printf("begin ");
        print_utf8(words[0]);
        putchar('\n');
        if (wcscmp(words[1], L"list") == 0)
            rc = list();
        else if (wcscmp(words[1], L"set") == 0 && count >= 7) {
            rc = set_value(words[2], words[3], words[4], words[5], words[6]);
            if (rc == 0 && count >= 8 && wcscmp(words[7], L"lock") == 0)
                rc = lock_key();
        } else if (wcscmp(words[1], L"clear") == 0)
            rc = clear_keys();
        else
            rc = 2;
        printf("end ");
        print_utf8(words[0]);
        printf(" %d\n", rc);
        fflush(stdout);
    }
    return 0;
}
