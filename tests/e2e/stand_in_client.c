/* Stand-in game client for the Wine suite and the benchmark: copied under
 * the names and folders a case needs, it only has to exist as a process
 * until the runner ends it, so it sleeps forever. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)instance; (void)previous; (void)command_line; (void)show;
    for (;;)
        Sleep(INFINITE);
}
