/* Stand-in game client for the Wine suite and the benchmark: copied under
 * the names and folders a case needs, it only has to exist as a process
 * until the runner ends it, so it sleeps forever. Given a file path, it
 * first creates that file, saying it runs. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)instance; (void)previous; (void)show;
    if (command_line[0]) {
        char path[MAX_PATH * 2];
        HANDLE ready;
        lstrcpynA(path, command_line + (command_line[0] == '"'), sizeof path);
        if (command_line[0] == '"' && lstrlenA(path) > 0 && path[lstrlenA(path) - 1] == '"')
            path[lstrlenA(path) - 1] = 0;  /* a path with spaces comes quoted */
        ready = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        if (ready != INVALID_HANDLE_VALUE)
            CloseHandle(ready);
    }
    for (;;)
        Sleep(INFINITE);
}
