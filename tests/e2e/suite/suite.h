// The suite program's pieces: a case as its table row states it, what one run
// of the tool was seen to do, and the machine it runs on. The program runs on
// Windows XP to 11 and under Wine; everything it makes lives under one marked
// root folder and one marked registry key.
#pragma once

#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct RegValue {
    int view;  // 0: the tool's own, 32 or 64: that view
    DWORD type;
    std::string name, data;
};

struct BoxText {
    const char* name;
    std::string text, caption;
    UINT style;
};

// A path in a case that starts with '@' lies under the program's root.
struct Case {
    const char* id;
    const char* what;
    const BoxText* box;
    bool needs_wow64 = false;  // its meaning needs both registry views
    std::vector<std::string> dirs = {};
    std::vector<std::pair<std::string, std::string>> files = {};  // path, content
    std::vector<RegValue> reg = {};
    bool lock_key = false;                  // the key then readable only, as HKLM is to a standard user
    std::vector<std::string> clients = {};  // started in this order, each seen running first
    std::vector<std::string> args = {};
    std::vector<std::string> requests = {};  // the folders the tool must ask for, in order
    std::vector<std::string> created = {};   // the folders new afterwards, and no others
};

extern const std::vector<Case> kCases;

// One call the tool made from its own image to a function that shows a box or makes a folder.
struct Call {
    std::string fn;
    DWORD args[4];
    std::string text, caption;  // the strings its arguments point to, where it takes them
};

// A visible top-level window of the tool.
struct Window {
    std::string cls, caption, text;
    bool owned;
    std::vector<int> buttons;  // their control ids
};

struct ToolRun {
    std::string error;  // the tool could not be started
    DWORD exit_code = 0;
    bool killed = false;
    std::string crash;
    std::vector<Call> calls;
    std::vector<Window> windows;
    std::string out, err;
    double box_ms = -1, ms = 0;
};

// The tool run under the debug API, each box it shows pressed; `shot`: a
// bitmap file the first box is saved to, or empty.
ToolRun RunTool(const std::string& tool, const std::vector<std::string>& args, const std::string& shot);
void Drain(HANDLE pipe, std::string& into);  // what a pipe holds now, without waiting

// The machine: where the root is, the tool, and whether the tool runs under WOW64.
struct Machine {
    std::string root, tool;
    bool wow64 = false;
};
extern Machine g_machine;

using Snapshot = std::map<std::string, std::string>;  // path: "dir", or what tells a file's content

std::string At(const std::string& path);
std::string Refusal();   // empty, or why this machine is no place for the suite
std::string MakeRoot();  // empty, or why the root cannot be had
void RemoveRoot();
std::vector<std::string> Leftovers();
void ClearAll();  // the programs under the root, the game's key, the root's content
std::string MakeDirs(const std::string& path);
std::string WriteBytes(const std::string& path, const std::string& content);
std::string WriteValues(const std::vector<RegValue>& values, bool lock);
std::string StartClient(const std::string& path, std::vector<HANDLE>& started);
std::string CheckListedInOrder(const std::vector<HANDLE>& started);
void EndAll(std::vector<HANDLE>& started);
std::vector<int> Views();
bool GameKeyIn(int view);
bool KeyMarked(int view);
Snapshot TakeSnapshot();
double Now();  // milliseconds

// A function this Windows may lack (XP has no RegDeleteKeyExA), or null.
template <class F>
F Optional(const char* dll, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), name)));
}

// The checks' report, in the manner of Wine's tests.
struct Report {
    std::string id, arch;
    int failures = 0;
    std::vector<std::string> lines;
    bool quiet = false;  // kept, not printed
};
extern Report g_report;
std::string ShowBytes(const std::string& bytes);
void Fail(const char* file, int line, const std::string& what);
#define FAIL_IF(cond, what)                       \
    do {                                          \
        if (cond) Fail(__FILE__, __LINE__, what); \
    } while (0)
void Judge(const Case& c, const ToolRun& run, const Snapshot& before, const Snapshot& after);
int Bench(int runs, int others);
bool RunCase(const Case& c, const std::string& shot);
int ProveLeftovers();
int ProveRefusals();
