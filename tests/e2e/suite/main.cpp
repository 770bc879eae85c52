// LanyueRepair-tests: runs the tool beside it (or --tool PATH) through every
// case of the table on this Windows, or under Wine, and says what differed.
//   LanyueRepair-tests [--tool PATH] [--leftovers] [--shot FILE.bmp] [CASE...]
//   LanyueRepair-tests [--tool PATH] --bench [--runs N] [--others N]
//   LanyueRepair-tests --list
// A case id ending in '*' matches by prefix. Exit code 0: every case run
// passed; 1: some failed; 2: nothing was run, for the reason printed.
#include <cstring>

#include "suite.h"

namespace {

double g_freq;

bool Matches(const char* id, const std::vector<std::string>& filter) {
    for (const std::string& f : filter)
        if (f == id || (f.back() == '*' && strncmp(id, f.c_str(), f.size() - 1) == 0)) return true;
    return filter.empty();
}

// A copy of this program under a client's name: says it runs, then lives as long as the suite does.
int StandIn(DWORD suite, const char* ready) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, suite), said = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready);
    if (said) SetEvent(said);
    if (h) WaitForSingleObject(h, INFINITE);
    return 0;
}

std::string Header() {
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
    // GetVersionEx says 6.2 on later Windows to a program without a manifest that names them.
    if (auto get = Optional<LONG(WINAPI*)(OSVERSIONINFOW*)>("ntdll.dll", "RtlGetVersion")) get(&v);
    auto wine = Optional<const char*(CDECL*)()>("ntdll.dll", "wine_get_version");
    char line[256];
    snprintf(line, sizeof line, "Windows %lu.%lu.%lu%s%s%s, %s, ANSI code page %u", v.dwMajorVersion,
             v.dwMinorVersion, v.dwBuildNumber, wine ? " (Wine " : "", wine ? wine() : "", wine ? ")" : "",
             g_machine.wow64 ? "64-bit (the tool runs under WOW64)" : "32-bit", GetACP());
    return line;
}

}  // namespace

// One case: set up, the tool run, judged, taken away again; true when it passed.
bool RunCase(const Case& c, const std::string& shot) {
    g_report.id = c.id;
    g_report.failures = 0;
    g_report.lines.clear();
    double t0 = Now(), t1 = t0, t2 = t0;  // the case's start, the tool's, the clean-up's
    std::vector<std::string> left = Leftovers();
    std::vector<HANDLE> clients;
    std::string setup;
    if (!left.empty()) {
        setup = "left by an earlier case: ";
        for (const std::string& l : left) setup += l + (&l == &left.back() ? "" : "; ");
    }
    for (const std::string& d : c.dirs)
        if (setup.empty()) setup = MakeDirs(At(d));
    for (auto& [path, content] : c.files)
        if (setup.empty()) setup = WriteBytes(At(path), content);
    if (setup.empty() && !c.reg.empty()) setup = WriteValues(c.reg, c.lock_key);
    for (const std::string& client : c.clients)
        if (setup.empty()) setup = StartClient(At(client), clients);
    if (setup.empty() && clients.size() > 1) setup = CheckListedInOrder(clients);
    if (!setup.empty()) {
        Fail(__FILE__, __LINE__, setup);
    } else {
        Snapshot before = TakeSnapshot();
        t1 = Now();
        ToolRun run = RunTool(g_machine.tool, c.args, shot);
        t2 = Now();
        Judge(c, run, before, TakeSnapshot());
    }
    EndAll(clients);
    ClearAll();
    if (left.empty()) {  // what it made, it took away
        for (const std::string& l : Leftovers()) Fail(__FILE__, __LINE__, "left behind after clean-up: " + l);
    }
    if (!g_report.quiet)
        printf("%s %s [%s] %s (%.2f s: set-up %.2f, the tool %.2f, clean-up %.2f)\n",
               g_report.failures ? "FAIL" : "PASS", c.id, g_report.arch.c_str(), c.what, (Now() - t0) / 1000,
               (t1 - t0) / 1000, (t2 - t1) / 1000, (Now() - t2) / 1000);
    return g_report.failures == 0;
}

double Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000 / g_freq;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--stand-in") == 0)
        return StandIn(strtoul(argv[2], nullptr, 10), argv[3]);
    // The benchmark's baseline: the tool's hint box alone.
    if (argc == 2 && strcmp(argv[1], "--bare-box") == 0) {
        const BoxText& hint = *kCases[0].box;
        MessageBoxA(nullptr, hint.text.c_str(), hint.caption.c_str(), hint.style);
        return 0;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);  // every line out as it is known, also when killed
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    g_freq = static_cast<double>(f.QuadPart);
    char self[MAX_PATH * 2];
    GetModuleFileNameA(nullptr, self, sizeof self);
    g_machine.tool = std::string(self, strrchr(self, '\\') + 1) + "LanyueRepair.exe";
    std::string shot;
    bool leftovers = false, refusals = false, bench = false;
    int runs = 15, others = 60;
    std::vector<std::string> filter;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--tool" && i + 1 < argc) {
            g_machine.tool = argv[++i];
        } else if (a == "--shot" && i + 1 < argc) {
            shot = argv[++i];
        } else if (a == "--leftovers") {
            leftovers = true;
        } else if (a == "--refusals") {
            refusals = true;
        } else if (a == "--bench") {
            bench = true;
        } else if ((a == "--runs" || a == "--others") && i + 1 < argc) {
            (a == "--runs" ? runs : others) = atoi(argv[++i]);
        } else if (a == "--list") {
            for (const Case& c : kCases)
                printf("%-30s %s%s\n", c.id, c.what, c.needs_wow64 ? " (64-bit Windows)" : "");
            return 0;
        } else if (a[0] == '-') {
            printf(
                "unknown option %s; usage: LanyueRepair-tests [--tool PATH] [--leftovers] [--refusals] "
                "[--shot FILE.bmp] [CASE...] | [--tool PATH] --bench [--runs N] [--others N] | --list\n",
                a.c_str());
            return 2;
        } else {
            filter.push_back(a);
        }
    }
    for (const std::string& f : filter) {
        bool known = false;
        for (const Case& c : kCases) known |= Matches(c.id, {f});
        if (!known) return printf("no case %s: --list shows them\n", f.c_str()), 2;
    }
    BOOL wow64 = FALSE;
    if (auto is = Optional<BOOL(WINAPI*)(HANDLE, BOOL*)>("kernel32.dll", "IsWow64Process"))
        is(GetCurrentProcess(), &wow64);
    g_machine.wow64 = wow64;
    g_report.arch = wow64 ? "win64" : "win32";
    printf("LanyueRepair-tests on %s\ntool: %s\n", Header().c_str(), g_machine.tool.c_str());
    if (GetFileAttributesA(g_machine.tool.c_str()) == INVALID_FILE_ATTRIBUTES)
        return printf("no tool at %s: give its path with --tool\n", g_machine.tool.c_str()), 2;
    std::string refused = Refusal();
    if (!refused.empty()) return printf("refused: %s\n", refused.c_str()), 2;
    if (refusals && !Optional<void*>("ntdll.dll", "wine_get_version"))
        return printf("--refusals changes HKLM\\SOFTWARE's access for a moment: it runs under Wine only\n"),
               2;
    int failed = refusals ? ProveRefusals() : 0;
    std::string root = MakeRoot();  // what a run that was killed left goes first
    if (!root.empty()) return printf("%s\n", root.c_str()), 2;
    printf("root: %s\n", g_machine.root.c_str());
    if (bench) {
        int rc = runs > 0 ? Bench(runs, others) : 2;
        ClearAll();
        RemoveRoot();
        return rc;
    }
    failed += leftovers ? ProveLeftovers() : 0;
    int planned = 0, passed = 0;
    for (const Case& c : kCases) planned += Matches(c.id, filter) && (!c.needs_wow64 || wow64);
    printf("plan: %d cases\n", planned);
    for (const Case& c : kCases) {
        if (!Matches(c.id, filter)) continue;
        if (c.needs_wow64 && !wow64) {
            printf("n/a  %s [%s] %s: needs 64-bit Windows, where the tool runs under WOW64\n", c.id,
                   g_report.arch.c_str(), c.what);
            continue;
        }
        if (RunCase(c, shot))
            passed++;
        else
            failed++;
    }
    ClearAll();
    RemoveRoot();
    if (!wow64)
        printf(
            "not checked here: the registry views, which only 64-bit Windows has (the cases marked n/a)\n");
    if (GetACP() != 936)
        printf(
            "not checked here: the box texts as shown, which only an ANSI code page of 936 shows as meant "
            "(this Windows's is %u)\n",
            GetACP());
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
