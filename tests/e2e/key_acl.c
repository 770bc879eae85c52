/* Makes the game's settings key readable only (as HKLM looks to a standard
 * user) and back, so the Wine suite can show which access the tool asks for.
 * "lock" fails unless full access is then refused and query access granted. */
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

static const char key_path[] = "SOFTWARE\\Velmarc\\Pexa\\Settings\\lanyue_cn";

static LONG try_open(REGSAM access)
{
    HKEY key;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, access, &key);
    if (r == ERROR_SUCCESS)
        RegCloseKey(key);
    return r;
}

int main(int argc, char **argv)
{
    int lock = argc > 1 && strcmp(argv[1], "lock") == 0;
    /* Everyone may read; nobody, administrators included, may write. */
    const char *sddl = lock ? "D:P(A;;KR;;;WD)" : "D:(A;;KA;;;WD)";
    PSECURITY_DESCRIPTOR sd;
    HKEY key;
    LONG r;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, NULL)) {
        printf("sddl: %lu\n", GetLastError());
        return 2;
    }
    /* The owner keeps WRITE_DAC, so unlocking works after locking. */
    r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, WRITE_DAC, &key);
    if (r != ERROR_SUCCESS) {
        printf("open: %ld\n", r);
        return 3;
    }
    r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
    RegCloseKey(key);
    LocalFree(sd);
    if (r != ERROR_SUCCESS) {
        printf("set: %ld\n", r);
        return 4;
    }
    if (lock && (try_open(KEY_ALL_ACCESS) != ERROR_ACCESS_DENIED
                 || try_open(KEY_SET_VALUE) != ERROR_ACCESS_DENIED
                 || try_open(KEY_QUERY_VALUE) != ERROR_SUCCESS)) {
        printf("lock not effective\n");
        return 5;
    }
    return 0;
}
