// The cases: one row each, as the player's machine would be when the tool
// starts, and what the tool must then do. Paths starting with '@' lie under
// the program's root; texts are the exact GBK bytes.
#include "suite.h"

namespace {

// 修复成功! / 信息, MB_OK | MB_ICONINFORMATION
const BoxText kSuccess = {"success", "\xd0\xde\xb8\xb4\xb3\xc9\xb9\xa6!", "\xd0\xc5\xcf\xa2", 0x40};
// 请先运行澜岳启动程序,再启动修复程序 / 修复失败, MB_OK | MB_ICONWARNING
const BoxText kHint = {"launcher hint",
                       "\xc7\xeb\xcf\xc8\xd4\xcb\xd0\xd0\xc0\xbd\xd4\xc0\xc6\xf4\xb6\xaf\xb3\xcc\xd0\xf2"
                       ",\xd4\xd9\xc6\xf4\xb6\xaf\xd0\xde\xb8\xb4\xb3\xcc\xd0\xf2",
                       "\xd0\xde\xb8\xb4\xca\xa7\xb0\xdc", 0x30};

RegValue Sz(const std::string& data, int view = 0) { return {view, REG_SZ, "InstallPath", data}; }

const std::string C = "@Games\\Client", CP = C + "\\patch";
const std::string A = "@Games\\A", B = "@Games\\B", Backup = "@Games\\Backup";
const std::string ZhClient =
    "@\xd3\xce\xcf\xb7\\\xc0\xbd\xd4\xc0\xbf\xcd\xbb\xa7\xb6\xcb";  // 游戏\澜岳客户端
const std::string ZhReg = "@\xd3\xce\xcf\xb7\\\xc0\xbd\xd4\xc0";    // 游戏\澜岳
const std::string V32 = "@Games\\View32", V64 = "@Games\\View64";

}  // namespace

// clang-format off
const std::vector<Case> kCases = {
    {.id = "nothing-found", .what = "no client running, no registry key", .box = &kHint},
    {.id = "registry-existing-dir", .what = "InstallPath names an existing folder", .box = &kSuccess,
     .dirs = {C}, .reg = {Sz(C)}, .requests = {CP}, .created = {CP}},
    {.id = "registry-missing-dir", .what = "InstallPath names a folder that does not exist", .box = &kSuccess,
     .reg = {Sz("@Games\\Gone")}, .requests = {"@Games\\Gone\\patch"}},
    {.id = "registry-trailing-backslash", .what = "InstallPath ends in a backslash: plain concatenation",
     .box = &kSuccess, .dirs = {C}, .reg = {Sz(C + "\\")}, .requests = {C + "\\\\patch"}, .created = {CP}},
    {.id = "registry-expand-sz", .what = "InstallPath is REG_EXPAND_SZ", .box = &kHint,
     .dirs = {C}, .reg = {{0, REG_EXPAND_SZ, "InstallPath", C}}},
    {.id = "registry-empty", .what = "InstallPath is an empty REG_SZ", .box = &kHint, .dirs = {C}, .reg = {Sz("")}},
    {.id = "registry-dword", .what = "InstallPath is a REG_DWORD", .box = &kHint,
     .reg = {{0, REG_DWORD, "InstallPath", "1"}}},
    {.id = "registry-oversized", .what = "InstallPath longer than 1024 bytes", .box = &kHint,
     .dirs = {C}, .reg = {Sz(C + "\\" + std::string(1100, 'x'))}},
    {.id = "registry-other-value", .what = "the key holds a path under another value name", .box = &kHint,
     .dirs = {C}, .reg = {{0, REG_SZ, "Path", C}}},
    {.id = "registry-read-only-key", .what = "the key grants query access only (a standard user's HKLM)",
     .box = &kSuccess, .dirs = {C}, .reg = {Sz(C)}, .lock_key = true, .requests = {CP}, .created = {CP}},
    {.id = "client-lower-case", .what = "game.exe running", .box = &kSuccess,
     .clients = {C + "\\game.exe"}, .requests = {CP}, .created = {CP}},
    {.id = "client-upper-case", .what = "GAME.EXE running", .box = &kSuccess,
     .clients = {C + "\\GAME.EXE"}, .requests = {CP}, .created = {CP}},
    {.id = "client-mixed-case", .what = "Game.Exe running", .box = &kSuccess,
     .clients = {C + "\\Game.Exe"}, .requests = {CP}, .created = {CP}},
    {.id = "look-alikes-only", .what = "only game.exe.old and mygame.exe running", .box = &kHint,
     .clients = {C + "\\game.exe.old", "@Games\\Other\\mygame.exe"}},
    {.id = "look-alikes-listed-first", .what = "look-alikes listed before the client are passed over",
     .box = &kSuccess, .clients = {"@Games\\Old\\game.exe.old", "@Games\\Other\\mygame.exe", C + "\\game.exe"},
     .requests = {CP}, .created = {CP}},
    {.id = "client-and-registry-same-dir", .what = "client and InstallPath name one folder: asked twice",
     .box = &kSuccess, .reg = {Sz(C)}, .clients = {C + "\\game.exe"}, .requests = {CP, CP}, .created = {CP}},
    {.id = "client-and-registry-other-dir", .what = "client folder first, then InstallPath's", .box = &kSuccess,
     .dirs = {Backup}, .reg = {Sz(Backup)}, .clients = {C + "\\game.exe"},
     .requests = {CP, Backup + "\\patch"}, .created = {CP, Backup + "\\patch"}},
    {.id = "client-and-unusable-registry", .what = "client found, InstallPath is REG_EXPAND_SZ", .box = &kSuccess,
     .dirs = {Backup}, .reg = {{0, REG_EXPAND_SZ, "InstallPath", Backup}}, .clients = {C + "\\game.exe"},
     .requests = {CP}, .created = {CP}},
    {.id = "client-patch-folder-exists", .what = "the patch folder is already there, with a file in it",
     .box = &kSuccess, .dirs = {CP}, .files = {{CP + "\\keep.txt", "kept\r\n"}}, .clients = {C + "\\game.exe"},
     .requests = {CP}},
    {.id = "client-patch-is-a-file", .what = "a file named patch sits in the client folder", .box = &kSuccess,
     .files = {{CP, "not a folder\r\n"}}, .clients = {C + "\\game.exe"}, .requests = {CP}},
    {.id = "registry-patch-is-a-file", .what = "a file named patch sits in InstallPath", .box = &kSuccess,
     .files = {{CP, "not a folder\r\n"}}, .reg = {Sz(C)}, .requests = {CP}},
    {.id = "client-chinese-folder", .what = "client in a folder with a Chinese name", .box = &kSuccess,
     .clients = {ZhClient + "\\game.exe"}, .requests = {ZhClient + "\\patch"}, .created = {ZhClient + "\\patch"}},
    {.id = "registry-chinese-path", .what = "InstallPath with a Chinese name", .box = &kSuccess,
     .dirs = {ZhReg}, .reg = {Sz(ZhReg)}, .requests = {ZhReg + "\\patch"}, .created = {ZhReg + "\\patch"}},
    {.id = "arguments-ignored", .what = "arguments, one naming another folder, change nothing", .box = &kSuccess,
     .dirs = {"@Games\\Other"}, .clients = {C + "\\game.exe"},
     .args = {"/?", "--registry", "@Games\\Other", "\xd0\xde\xb8\xb4", "/reg:64"},  // 修复
     .requests = {CP}, .created = {CP}},
    {.id = "two-clients-a-first", .what = "two clients; A started, so listed, first", .box = &kSuccess,
     .clients = {A + "\\game.exe", B + "\\GAME.EXE"}, .requests = {A + "\\patch"}, .created = {A + "\\patch"}},
    {.id = "two-clients-b-first", .what = "two clients; B started, so listed, first", .box = &kSuccess,
     .clients = {B + "\\GAME.EXE", A + "\\game.exe"}, .requests = {B + "\\patch"}, .created = {B + "\\patch"}},
    {.id = "wow64-64-bit-view-only", .what = "value only in the 64-bit view", .box = &kHint, .needs_wow64 = true,
     .dirs = {C}, .reg = {Sz(C, 64)}},
    {.id = "wow64-32-bit-view", .what = "value in the 32-bit (WOW64) view", .box = &kSuccess, .needs_wow64 = true,
     .dirs = {C}, .reg = {Sz(C, 32)}, .requests = {CP}, .created = {CP}},
    {.id = "wow64-both-views", .what = "different values in both views", .box = &kSuccess, .needs_wow64 = true,
     .dirs = {V32, V64}, .reg = {Sz(V64, 64), Sz(V32, 32)}, .requests = {V32 + "\\patch"},
     .created = {V32 + "\\patch"}},
};
// clang-format on
