// The texts the player sees, and the one diagnostic line, as GBK (code page
// 936) bytes. Byte escapes keep them exact whatever the compiler's source or
// execution character set; the readable text is in the comment beside each.
#pragma once

namespace messages {

// 修复成功!
inline constexpr char kSuccessText[] = "\xD0\xDE\xB8\xB4\xB3\xC9\xB9\xA6!";
// 信息
inline constexpr char kSuccessCaption[] = "\xD0\xC5\xCF\xA2";
// 修复失败
inline constexpr char kFailureCaption[] = "\xD0\xDE\xB8\xB4\xCA\xA7\xB0\xDC";
// 请先运行澜岳启动程序,再启动修复程序
inline constexpr char kLauncherHint[] =
    "\xC7\xEB\xCF\xC8\xD4\xCB\xD0\xD0\xC0\xBD\xD4\xC0\xC6\xF4\xB6\xAF\xB3\xCC\xD0\xF2"
    ","
    "\xD4\xD9\xC6\xF4\xB6\xAF\xD0\xDE\xB8\xB4\xB3\xCC\xD0\xF2";
// EnumProcesses 失败。
inline constexpr char kEnumProcessesFailed[] = "EnumProcesses \xCA\xA7\xB0\xDC\xA1\xA3";

}  // namespace messages
