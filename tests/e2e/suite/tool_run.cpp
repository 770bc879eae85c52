// One run of the tool under the debug API. At the loader's first breakpoint
// every import of the tool that could show a box or create a folder gets an
// int3 at its target; a hit from the tool's own image is recorded with its
// arguments, byte for byte, then the byte goes back for one single step. The
// tool's windows are looked for between debug events (it is frozen during
// one) and each box is read back and pressed with a posted IDOK.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "suite.h"

namespace {

const double kBoxWithinMs = 60000, kExitAfterBoxMs = 30000;

bool Watched(const std::string& fn) {
    return fn.rfind("MessageBox", 0) == 0 || fn.find("CreateDirectory") != std::string::npos ||
           fn == "MakeSureDirectoryPathExists";
}

struct Hook {
    std::string fn;
    DWORD target;
    BYTE orig;
};

class Debuggee {
public:
    Debuggee(HANDLE process, ToolRun& run) : proc_(process), run_(run) {}

    bool Read(DWORD addr, void* buf, SIZE_T n) {
        SIZE_T got = 0;
        return ReadProcessMemory(proc_, reinterpret_cast<void*>(static_cast<ULONG_PTR>(addr)), buf, n,
                                 &got) &&
               got == n;
    }

    // A string of the debuggee's, read a page's piece at a time.
    std::string String(DWORD addr) {
        std::string s;
        char buf[256];
        while (addr && s.size() < 8192) {
            DWORD n = std::min<DWORD>(sizeof buf, 0x1000 - (addr & 0xFFF));
            if (!Read(addr, buf, n)) break;
            size_t len = strnlen(buf, n);
            s.append(buf, len);
            if (len < n) break;
            addr += n;
        }
        return s;
    }

    void Write(DWORD addr, BYTE value) {
        void* at = reinterpret_cast<void*>(static_cast<ULONG_PTR>(addr));
        DWORD old;
        SIZE_T wrote;
        VirtualProtectEx(proc_, at, 1, PAGE_EXECUTE_READWRITE, &old);
        WriteProcessMemory(proc_, at, &value, 1, &wrote);
        VirtualProtectEx(proc_, at, 1, old, &old);
        FlushInstructionCache(proc_, at, 1);
    }

    // The imports, as the loader has bound them by now, read from one copy of the image.
    void HookImports(DWORD base) {
        base_ = base;
        IMAGE_DOS_HEADER dos;
        IMAGE_NT_HEADERS32 nt;
        if (!Read(base, &dos, sizeof dos) || !Read(base + dos.e_lfanew, &nt, sizeof nt)) return;
        size_ = nt.OptionalHeader.SizeOfImage;
        std::string image(size_, '\0');
        for (DWORD page = 0; page < size_; page += 0x1000)
            Read(base + page, &image[page], std::min(0x1000ul, size_ - page));
        auto at = [&](DWORD rva) { return rva < size_ ? &image[rva] : &image[0]; };
        DWORD d = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(at(d)); d && desc->Name; desc++) {
            auto* names = reinterpret_cast<DWORD*>(at(desc->OriginalFirstThunk));
            auto* targets = reinterpret_cast<DWORD*>(at(desc->FirstThunk));
            for (; *names; names++, targets++) {
                if (*names & IMAGE_ORDINAL_FLAG32 || !Watched(at(*names + 2))) continue;
                hooks_.push_back({at(*names + 2), *targets, 0});
                Read(*targets, &hooks_.back().orig, 1);
                Write(*targets, 0xCC);
            }
        }
    }

    // A breakpoint of ours: recorded when the tool's own code called, then stepped over.
    bool Hit(DWORD tid, DWORD addr) {
        for (size_t k = 0; k < hooks_.size(); k++) {
            if (hooks_[k].target != addr) continue;
            HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, tid);
            CONTEXT c = {};
            c.ContextFlags = CONTEXT_FULL;
            GetThreadContext(thread, &c);
            DWORD stack[5] = {};
            Read(c.Esp, stack, sizeof stack);
            if (stack[0] >= base_ && stack[0] < base_ + size_) {
                Call call{hooks_[k].fn, {stack[1], stack[2], stack[3], stack[4]}, "", ""};
                if (call.fn == "MessageBoxA") {
                    call.text = String(stack[2]);
                    call.caption = String(stack[3]);
                } else if (call.fn == "CreateDirectoryA") {
                    call.text = String(stack[1]);
                }
                run_.calls.push_back(call);
            }
            Write(addr, hooks_[k].orig);
            c.Eip = addr;
            c.EFlags |= 0x100;  // trap flag: one instruction, then re-armed
            SetThreadContext(thread, &c);
            CloseHandle(thread);
            stepping_[tid] = k;
            return true;
        }
        return false;
    }

    bool Stepped(DWORD tid) {
        auto it = stepping_.find(tid);
        if (it == stepping_.end()) return false;
        Write(hooks_[it->second].target, 0xCC);
        stepping_.erase(it);
        return true;
    }

private:
    HANDLE proc_;
    ToolRun& run_;
    DWORD base_ = 0, size_ = 0;
    std::vector<Hook> hooks_;
    std::map<DWORD, size_t> stepping_;
};

struct Search {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK TopLevel(HWND w, LPARAM l) {
    auto* s = reinterpret_cast<Search*>(l);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == s->pid && IsWindowVisible(w)) s->found.push_back(w);
    return TRUE;
}

BOOL CALLBACK Child(HWND w, LPARAM l) {
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (_stricmp(cls, "Button") == 0) reinterpret_cast<Window*>(l)->buttons.push_back(GetDlgCtrlID(w));
    return TRUE;
}

// A window's text as the window manager keeps it, in this program's code page. Never a
// message: the tool may be stopped at a debug event, waiting for this very thread.
std::string TextOf(HWND w) {
    wchar_t wide[4096];
    int n = InternalGetWindowText(w, wide, 4096);
    char text[8192];
    int got = WideCharToMultiByte(CP_ACP, 0, wide, n, text, sizeof text, nullptr, nullptr);
    return std::string(text, got > 0 ? got : 0);
}

Window Inspect(HWND w) {
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    Window seen{cls,
                TextOf(w),
                TextOf(GetDlgItem(w, 0xFFFF)),
                GetWindow(w, GW_OWNER) != nullptr,
                {}};  // its text control
    EnumChildWindows(w, Child, reinterpret_cast<LPARAM>(&seen));
    return seen;
}

// The window as the screen shows it, as a 24-bit bitmap file.
void SavePicture(HWND w, const std::string& path) {
    RECT r;
    GetWindowRect(w, &r);
    int width = r.right - r.left, height = r.bottom - r.top, stride = (width * 3 + 3) & ~3;
    HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFOHEADER info = {sizeof info, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    std::string pixels(static_cast<size_t>(stride) * height, '\0');
    GetDIBits(mem, bitmap, 0, height, &pixels[0], reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file = {0x4D42, static_cast<DWORD>(sizeof file + sizeof info + pixels.size()), 0, 0,
                             sizeof file + sizeof info};
    WriteBytes(path, std::string(reinterpret_cast<char*>(&file), sizeof file) +
                         std::string(reinterpret_cast<char*>(&info), sizeof info) + pixels);
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

std::string Quoted(const std::string& arg) {
    return arg.find(' ') == std::string::npos ? arg : '"' + arg + '"';
}

}  // namespace

void Drain(HANDLE pipe, std::string& into) {
    DWORD ready = 0, got = 0;
    char buf[4096];
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &ready, nullptr) && ready &&
           ReadFile(pipe, buf, sizeof buf, &got, nullptr) && got)
        into.append(buf, got);
}

ToolRun RunTool(const std::string& tool, const std::vector<std::string>& args, const std::string& shot) {
    ToolRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out_r, out_w, err_r, err_w;
    CreatePipe(&out_r, &out_w, &inherit, 0);
    CreatePipe(&err_r, &err_w, &inherit, 0);
    SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);
    std::string line = Quoted(tool);
    for (const std::string& a : args) line += " " + Quoted(At(a));
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out_w;
    si.hStdError = err_w;
    PROCESS_INFORMATION pi;
    double t0 = Now();
    BOOL started = CreateProcessA(tool.c_str(), &line[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS,
                                  nullptr, nullptr, &si, &pi);
    DWORD why = GetLastError();
    CloseHandle(out_w);
    CloseHandle(err_w);
    if (!started) {
        run.error = "starting " + ShowBytes(tool) + " failed (error " + std::to_string(why) + ")";
        CloseHandle(out_r);
        CloseHandle(err_r);
        return run;
    }
    Debuggee debuggee(pi.hProcess, run);
    bool first_breakpoint = true, exited = false;
    std::map<HWND, double> boxes;  // each box seen: when it was last pressed (0: not yet)
    std::set<HWND> seen;
    double killed_at = 0, scanned = 0;
    DWORD base = 0;
    while (!exited) {
        DEBUG_EVENT ev;
        if (WaitForDebugEvent(&ev, 10)) {
            DWORD status = DBG_CONTINUE;
            switch (ev.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                base = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(ev.u.CreateProcessInfo.lpBaseOfImage));
                if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                run.exit_code = ev.u.ExitProcess.dwExitCode;
                exited = true;
                break;
            case EXCEPTION_DEBUG_EVENT: {
                const EXCEPTION_RECORD& er = ev.u.Exception.ExceptionRecord;
                DWORD addr = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(er.ExceptionAddress));
                bool breakpoint = er.ExceptionCode == EXCEPTION_BREAKPOINT || er.ExceptionCode == 0x4000001F;
                bool step = er.ExceptionCode == EXCEPTION_SINGLE_STEP || er.ExceptionCode == 0x4000001E;
                if (breakpoint && first_breakpoint) {
                    first_breakpoint = false;
                    debuggee.HookImports(base);
                } else if (breakpoint) {
                    debuggee.Hit(ev.dwThreadId, addr);  // another's breakpoint: let it run on
                } else if (!(step && debuggee.Stepped(ev.dwThreadId))) {
                    status = DBG_EXCEPTION_NOT_HANDLED;
                    if (!ev.u.Exception.dwFirstChance) {
                        char what[64];
                        snprintf(what, sizeof what, "exception 0x%08lx at 0x%08lx", er.ExceptionCode, addr);
                        run.crash = what;
                    }
                }
                break;
            }
            default:
                break;
            }
            ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
        }
        Drain(out_r, run.out);
        Drain(err_r, run.err);
        double now = Now();
        // Its windows are looked for often once it has asked for a box, seldom before: each look
        // takes a little of the time the tool runs in.
        bool asked = std::any_of(run.calls.begin(), run.calls.end(),
                                 [](const Call& c) { return c.fn.rfind("MessageBox", 0) == 0; });
        if (exited || now - scanned < (asked ? 10 : 100)) continue;
        scanned = now;
        Search search{pi.dwProcessId, {}};
        EnumWindows(TopLevel, reinterpret_cast<LPARAM>(&search));
        for (HWND w : search.found) {
            if (seen.insert(w).second) {
                run.windows.push_back(Inspect(w));
                if (run.box_ms < 0) run.box_ms = now - t0;
                if (run.windows.back().cls == "#32770") boxes[w] = 0;
            }
            auto box = boxes.find(w);
            if (box == boxes.end() || now - box->second < 2000) continue;
            // A picture wants the box painted; a box still up after a press is pressed again.
            if (!shot.empty() && box->second == 0 && now - t0 - run.box_ms < 500) continue;
            if (!shot.empty() && box->second == 0) SavePicture(w, shot);
            PostMessageA(w, WM_COMMAND, IDOK, 0);
            box->second = now;
        }
        bool late = run.box_ms < 0 ? now - t0 > kBoxWithinMs : now - t0 - run.box_ms > kExitAfterBoxMs;
        if (late && !killed_at) {
            run.killed = true;
            killed_at = now;
            TerminateProcess(pi.hProcess, 1);
        } else if (killed_at && now - killed_at > 10000) {
            break;  // it would not even die: its handles are closed below all the same
        }
    }
    run.ms = Now() - t0;
    Drain(out_r, run.out);
    Drain(err_r, run.err);
    CloseHandle(out_r);
    CloseHandle(err_r);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}
