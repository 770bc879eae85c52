// The benchmark mode: how long the tool takes from CreateProcess to its box on
// screen, against this program showing only the same box (--bare-box), run
// alternately, first with no other program of ours running, then with `others`
// stand-ins, which the tool must scan. It prints one table row per load.
#include <windows.h>
#include <psapi.h>

#include <algorithm>

#include "suite.h"

namespace {

struct Found {
    DWORD pid;
    HWND box;
};

BOOL CALLBACK FindBox(HWND w, LPARAM l) {
    auto* f = reinterpret_cast<Found*>(l);
    DWORD pid = 0;
    char cls[16] = "";
    GetWindowThreadProcessId(w, &pid);
    if (pid == f->pid && IsWindowVisible(w) && GetClassNameA(w, cls, sizeof cls) &&
        strcmp(cls, "#32770") == 0) {
        f->box = w;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds from CreateProcess to the program's box visible, or a negative number
// when it showed none within 30 s or ended with another code than 0.
double TimeToBox(const std::string& exe, const std::string& args) {
    std::string line = "\"" + exe + "\"" + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    double t0 = Now(), took = -1;
    if (!CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    Found f{pi.dwProcessId, nullptr};
    while (!f.box && Now() - t0 < 30000 && WaitForSingleObject(pi.hProcess, 1) == WAIT_TIMEOUT)
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&f));
    if (f.box) {
        took = Now() - t0;
        PostMessageA(f.box, WM_COMMAND, IDOK, 0);
    }
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code == 0 ? took : -1;
}

std::string Spread(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    char cell[64];
    snprintf(cell, sizeof cell, "%.0f / %.0f / %.0f", ms.front(), ms[ms.size() / 2], ms.back());
    return cell;
}

}  // namespace

int Bench(int runs, int others) {
    char self[MAX_PATH * 2];
    GetModuleFileNameA(nullptr, self, sizeof self);
    printf(
        "bench: %d runs each, alternately, after one warm-up run each; ms from CreateProcess to the box\n"
        "| other programs | processes listed | LanyueRepair.exe ms (min / median / max) "
        "| bare box ms (min / median / max) | ratio |\n| ---: | ---: | ---: | ---: | ---: |\n",
        runs);
    std::vector<HANDLE> started;
    for (int load : {0, others}) {
        while (static_cast<int>(started.size()) < load) {
            std::string made =
                StartClient(At("@Bench\\other" + std::to_string(started.size()) + ".exe"), started);
            if (!made.empty()) return printf("%s\n", made.c_str()), 1;
        }
        std::vector<double> tool, bare;
        for (int i = -1; i < runs; i++) {  // the first of each is a warm-up
            double t = TimeToBox(g_machine.tool, ""), b = TimeToBox(self, " --bare-box");
            if (t < 0 || b < 0) return printf("a run showed no box or did not end with 0\n"), 1;
            if (i >= 0) tool.push_back(t), bare.push_back(b);
        }
        DWORD ids[4096], bytes = 0;
        EnumProcesses(ids, sizeof ids, &bytes);
        std::sort(tool.begin(), tool.end());
        std::sort(bare.begin(), bare.end());
        printf("| %d | %lu | %s | %s | %.2f |\n", load, bytes / sizeof(DWORD), Spread(tool).c_str(),
               Spread(bare).c_str(), tool[tool.size() / 2] / bare[bare.size() / 2]);
    }
    EndAll(started);
    return 0;
}
