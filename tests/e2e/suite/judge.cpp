// What one run of the tool must have done, checked against its case: each
// difference is one line naming the file and line of its check, the case and
// the Windows bitness, expected against got, non-ASCII bytes as escapes.
#include <algorithm>
#include <cstring>

#include "suite.h"

Report g_report;

namespace {

std::string Join(const std::vector<std::string>& items) {
    std::string s;
    for (const std::string& i : items) s += (s.empty() ? "" : ", ") + i;
    return s.empty() ? "none" : s;
}

std::string Hex(DWORD v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%lx", v);
    return buf;
}

std::string Differs(const std::string& what, const std::string& want, const std::string& got) {
    return what + ": expected " + want + ", got " + got;
}

}  // namespace

std::string ShowBytes(const std::string& bytes) {
    std::string s = "\"";
    for (unsigned char c : bytes) {
        char esc[8];
        snprintf(esc, sizeof esc, "\\x%02x", c);
        s += c >= 0x20 && c < 0x7f && c != '"' ? std::string(1, static_cast<char>(c)) : std::string(esc);
    }
    return s + "\"";
}

void Fail(const char* file, int line, const std::string& what) {
    const char* name = strrchr(file, '/') ? strrchr(file, '/') + 1 : file;
    std::string text = std::string(name) + ":" + std::to_string(line) + ": " + g_report.id + " [" +
                       g_report.arch + "] " + what;
    g_report.failures++;
    g_report.lines.push_back(text);
    if (!g_report.quiet) printf("%s\n", text.c_str());
}

void Judge(const Case& c, const ToolRun& run, const Snapshot& before, const Snapshot& after) {
    if (!run.error.empty()) return Fail(__FILE__, __LINE__, run.error);
    FAIL_IF(run.killed, "killed: it showed no box within 60 s, or did not end within 30 s of its box");
    FAIL_IF(!run.crash.empty(), "crashed: " + run.crash);
    FAIL_IF(!run.killed && run.exit_code != 0, Differs("exit code", "0", std::to_string(run.exit_code)));

    // The box as the window system shows it.
    std::vector<std::string> shown;
    for (const Window& w : run.windows) shown.push_back(ShowBytes(w.cls) + " " + ShowBytes(w.caption));
    FAIL_IF(run.windows.size() != 1, Differs("windows shown", "one box", Join(shown)));
    if (run.windows.size() == 1) {
        const Window& w = run.windows[0];
        FAIL_IF(w.cls != "#32770", Differs("window class", "\"#32770\"", ShowBytes(w.cls)));
        // Read back through this program's code page: only 936 gives the GBK bytes back.
        if (GetACP() == 936) {
            FAIL_IF(w.caption != c.box->caption,
                    Differs("box caption shown", ShowBytes(c.box->caption), ShowBytes(w.caption)));
            FAIL_IF(w.text != c.box->text,
                    Differs("box text shown", ShowBytes(c.box->text), ShowBytes(w.text)));
        }
        FAIL_IF(w.owned, "the box has an owner window, expected none");
        std::vector<std::string> buttons;
        for (int id : w.buttons) buttons.push_back(std::to_string(id));
        // One button; a box with OK alone may number it as Cancel, so that Esc closes it too.
        bool ok_alone = w.buttons.size() == 1 && (w.buttons[0] == IDOK || w.buttons[0] == IDCANCEL);
        FAIL_IF(!ok_alone, Differs("button ids", "one, OK's (1) or Cancel's (2)", Join(buttons)));
    }

    // The box as the tool asked for it, and the folders, in call order.
    std::vector<std::string> box_calls, dirs, want_dirs;
    size_t last_dir = 0, first_box = run.calls.size();
    for (size_t i = 0; i < run.calls.size(); i++) {
        const Call& call = run.calls[i];
        if (call.fn.rfind("MessageBox", 0) == 0) {
            box_calls.push_back(call.fn);
            first_box = std::min(first_box, i);
            continue;
        }
        dirs.push_back(call.fn + "(" + (call.fn == "CreateDirectoryA" ? ShowBytes(call.text) : "?") +
                       (call.args[1] ? ", " + Hex(call.args[1]) : "") + ")");
        last_dir = i + 1;
    }
    for (const std::string& p : c.requests) want_dirs.push_back("CreateDirectoryA(" + ShowBytes(At(p)) + ")");
    FAIL_IF(dirs != want_dirs, Differs("folder requests", Join(want_dirs), Join(dirs)));
    FAIL_IF(box_calls != std::vector<std::string>{"MessageBoxA"},
            Differs("box calls", "MessageBoxA", Join(box_calls)));
    if (box_calls.size() == 1) {
        const Call& box = run.calls[first_box];
        FAIL_IF(box.args[0] != 0, Differs("box owner", "NULL", Hex(box.args[0])));
        FAIL_IF(box.text != c.box->text,
                Differs("box text", "the " + std::string(c.box->name) + " text " + ShowBytes(c.box->text),
                        ShowBytes(box.text)));
        FAIL_IF(box.caption != c.box->caption,
                Differs("box caption", ShowBytes(c.box->caption), ShowBytes(box.caption)));
        FAIL_IF(box.args[3] != c.box->style, Differs("box style", Hex(c.box->style), Hex(box.args[3])));
    }
    // The box reports the outcome: every folder is asked for before it.
    FAIL_IF(last_dir > first_box, "a folder was asked for after the box");

    // The disk afterwards: the folders meant, new, and nothing else touched.
    std::vector<std::string> got_new, want_new, changed;
    for (const std::string& p : c.created) want_new.push_back(ShowBytes(At(p)));
    std::sort(want_new.begin(), want_new.end());
    for (auto& [path, what] : after) {
        if (!before.count(path)) got_new.push_back(ShowBytes(path) + (what == "dir" ? "" : " (a file)"));
        if (before.count(path) && before.at(path) != what) changed.push_back(ShowBytes(path) + " changed");
    }
    for (auto& [path, what] : before)
        if (!after.count(path)) changed.push_back(ShowBytes(path) + " removed");
    std::sort(got_new.begin(), got_new.end());
    FAIL_IF(got_new != want_new, Differs("new on disk", Join(want_new), Join(got_new)));
    FAIL_IF(!changed.empty(), Differs("the rest of the disk", "left alone", Join(changed)));
    FAIL_IF(!run.err.empty(), Differs("stderr", "nothing", ShowBytes(run.err)));
    FAIL_IF(!run.out.empty(), Differs("stdout", "nothing", ShowBytes(run.out.substr(0, 200))));
}
