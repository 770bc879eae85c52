// The program's proofs of itself, run once per Wine generation: that a case
// fails on what an earlier one left (--leftovers), and that the program
// refuses a machine where the game is, or which it may not change, touching
// nothing (--refusals; it changes HKLM\SOFTWARE's access, so under Wine only).
#include <windows.h>
#include <sddl.h>

#include <map>

#include "suite.h"

namespace {

int Prove(const char* proof, const char* what, bool ok, const std::string& saw) {
    printf("%s %s/%s [%s] %s\n", ok ? "PASS" : "FAIL", proof, what, g_report.arch.c_str(), saw.c_str());
    return !ok;
}

// This program again, run as a tester would run it on the one case; its output and exit code.
std::pair<std::string, DWORD> RunAgain() {
    char self[MAX_PATH * 2];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line = "\"" + std::string(self) + "\" --tool \"" + g_machine.tool + "\" nothing-found";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out_r, out_w;
    CreatePipe(&out_r, &out_w, &inherit, 0);
    SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out_w;
    PROCESS_INFORMATION pi;
    DWORD code = 999;
    std::string out;
    bool started = CreateProcessA(self, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(out_w);
    // Until it ends, not until its pipe does: a program Wine starts for it (a desktop) may hold the pipe.
    while (started && WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) Drain(out_r, out);
    Drain(out_r, out);
    if (started) {
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(out_r);
    return {out, code};
}

REGSAM ViewOf(int view) { return view == 64 ? KEY_WOW64_64KEY : view == 32 ? KEY_WOW64_32KEY : 0; }

std::string PlantKey(int view) {
    HKEY k;
    LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmarc", 0, nullptr, 0, KEY_READ | ViewOf(view),
                             nullptr, &k, nullptr);
    if (r == ERROR_SUCCESS) RegCloseKey(k);
    return r == ERROR_SUCCESS ? "" : "error " + std::to_string(r);
}

void RemoveKey(int view) {
    if (auto remove = Optional<LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD)>("advapi32.dll", "RegDeleteKeyExA"))
        remove(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmarc", ViewOf(view), 0);
}

std::vector<HANDLE> g_game;
std::string GameAt() { return g_machine.root.substr(0, 3) + "lanyue-refusal\\game.exe"; }

// HKLM\SOFTWARE's access in each view, while everyone may only read it there (and give it back).
std::map<int, std::string> g_saved;

std::string TakeAway() {
    for (int view : Views()) {
        HKEY k;
        LONG r =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, READ_CONTROL | WRITE_DAC | ViewOf(view), &k);
        std::string sd(4096, '\0');
        DWORD size = static_cast<DWORD>(sd.size());
        PSECURITY_DESCRIPTOR locked = nullptr;
        if (r == ERROR_SUCCESS) r = RegGetKeySecurity(k, DACL_SECURITY_INFORMATION, &sd[0], &size);
        if (r == ERROR_SUCCESS && !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                                      "D:P(A;;KR;;;WD)(A;;WD;;;WD)", SDDL_REVISION_1, &locked, nullptr))
            r = static_cast<LONG>(GetLastError());
        if (r == ERROR_SUCCESS) g_saved[view] = sd.substr(0, size);
        if (r == ERROR_SUCCESS) r = RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, locked);
        LocalFree(locked);
        RegCloseKey(k);
        if (r != ERROR_SUCCESS) return "error " + std::to_string(r);
    }
    return "";
}

void GiveBack() {
    for (auto& [view, sd] : g_saved) {
        HKEY k;
        LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, WRITE_DAC | ViewOf(view), &k);
        if (r == ERROR_SUCCESS) r = RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, &sd[0]);
        if (r == ERROR_SUCCESS) RegCloseKey(k);
        if (r != ERROR_SUCCESS) printf("could not give HKLM\\SOFTWARE its access back (error %ld)\n", r);
    }
    g_saved.clear();
}

}  // namespace

// What a case can leave behind, each planted on its own: the next case must fail
// naming it, and the one after pass again.
int ProveLeftovers() {
    struct Kind {
        const char* name;
        std::string (*plant)();
        const char* named;
    };
    static std::vector<HANDLE> kept;  // the planted program outlives its case
    const Kind kinds[] = {
        {"program", [] { return StartClient(At("@Left\\stand-in.exe"), kept); }, "stand-in.exe\" running"},
        {"registry key",
         [] {
             return WriteValues({{0, REG_SZ, "InstallPath", "@Left"}}, false);
         },
         "HKLM\\SOFTWARE\\Velmarc"},
        {"folder", [] { return MakeDirs(At("@Left\\x")); }, "Left\" in the root"},
    };
    const Case& probe = kCases[0];
    int failed = 0;
    g_report.quiet = true;
    for (const Kind& k : kinds) {
        std::string planted = k.plant();
        RunCase(probe, "");
        bool named = g_report.lines.size() == 1 && g_report.lines[0].find(k.named) != std::string::npos;
        failed += Prove("leftovers", k.name, planted.empty() && named,
                        !planted.empty() ? "could not plant it: " + planted
                                         : "the next case gave: " +
                                               (g_report.lines.empty() ? "no failure" : g_report.lines[0]));
    }
    bool clean = RunCase(probe, "");
    failed +=
        Prove("leftovers", "after", clean, clean ? "the case after passed" : "failed: " + g_report.lines[0]);
    g_report.quiet = false;
    return failed;
}

// Each reason to refuse, planted on its own: this program run again must refuse
// with exit code 2, saying why, and leave everything as it was. A killed run's
// leftovers are no reason: they are cleared, and that run passes.
int ProveRefusals() {
    struct Reason {
        const char* name;
        bool wow64_only;
        std::string (*plant)();
        bool (*still)();  // the planted thing, as it was
        void (*undo)();
        const char* said;
    };
    const Reason reasons[] = {
        {"the game's key, 32-bit view", false, [] { return PlantKey(32); },
         [] { return GameKeyIn(32) && !KeyMarked(32); }, [] { RemoveKey(32); }, "exists: the game is"},
        {"the game's key, 64-bit view", true, [] { return PlantKey(64); },
         [] { return GameKeyIn(64) && !KeyMarked(64); }, [] { RemoveKey(64); }, "exists: the game is"},
        {"game.exe running", false, [] { return StartClient(GameAt(), g_game); },
         [] { return WaitForSingleObject(g_game[0], 0) == WAIT_TIMEOUT; },
         [] {
             EndAll(g_game);
             DeleteFileA(GameAt().c_str());
             RemoveDirectoryA(GameAt().substr(0, GameAt().rfind('\\')).c_str());
         },
         "game.exe runs"},
        {"not elevated", false, TakeAway, [] { return true; }, GiveBack, "run it as administrator"},
    };
    int failed = 0;
    for (const Reason& r : reasons) {
        if (r.wow64_only && !g_machine.wow64) continue;
        std::string planted = r.plant();
        auto [out, code] = RunAgain();
        bool untouched = r.still() && GetFileAttributesA(g_machine.root.c_str()) == INVALID_FILE_ATTRIBUTES;
        r.undo();
        size_t said = out.find("refused: ");
        failed += Prove("refusals", r.name,
                        planted.empty() && code == 2 && untouched && out.find(r.said) != out.npos,
                        !planted.empty()
                            ? "could not plant it: " + planted
                            : "exit code " + std::to_string(code) + (untouched ? "" : ", something touched") +
                                  "; it said: " + out.substr(said == out.npos ? 0 : said, 300));
    }
    // A killed run's root, with a folder in it, and its marked key.
    std::string planted = MakeRoot();
    if (planted.empty()) planted = MakeDirs(At("@Killed\\x"));
    if (planted.empty()) planted = WriteValues({{0, REG_SZ, "InstallPath", "@Killed"}}, true);
    auto [out, code] = RunAgain();
    bool cleared = GetFileAttributesA(g_machine.root.c_str()) == INVALID_FILE_ATTRIBUTES && !GameKeyIn(32);
    failed += Prove("refusals", "a killed run's leftovers", planted.empty() && code == 0 && cleared,
                    "exit code " + std::to_string(code) + (cleared ? ", all cleared" : ", not all cleared") +
                        (planted.empty() ? "" : "; could not plant them: " + planted));
    return failed;
}
