/* The benchmark's baseline: a program that does nothing but show the box the
 * repair tool shows when it finds no client (same GBK text, caption, style),
 * so the difference in time to the box is the cost of the tool's own work. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)instance; (void)previous; (void)command_line; (void)show;
    /* 请先运行澜岳启动程序,再启动修复程序 / 修复失败 */
    MessageBoxA(NULL,
                "\xC7\xEB\xCF\xC8\xD4\xCB\xD0\xD0\xC0\xBD\xD4\xC0\xC6\xF4\xB6\xAF\xB3\xCC\xD0\xF2"
                ",\xD4\xD9\xC6\xF4\xB6\xAF\xD0\xDE\xB8\xB4\xB3\xCC\xD0\xF2",
                "\xD0\xDE\xB8\xB4\xCA\xA7\xB0\xDC", MB_OK | MB_ICONWARNING);
    return 0;
}
