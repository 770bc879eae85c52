# What the tool asked of Windows, read from Wine's relay log on its stderr: the
# calls it made, with the exact bytes of their string arguments, and its own
# stderr lines apart from the ones Wine writes there. The prefixes relay the
# functions winelab's prefix.RELAY_FUNCTIONS lists.
import re

# Relay lines carry pid:tid with WINEDEBUG=+pid, which the tool's run uses.
_CALL_RE = re.compile(r"^([0-9a-f]{4,8}):([0-9a-f]{4,8}):Call ([\w.]+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
_RET_RE = re.compile(r"^([0-9a-f]{4,8}):([0-9a-f]{4,8}):Ret  ([\w.]+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")
_PID_RE = re.compile(rb"^([0-9a-f]{4,8}):[0-9a-f]{4,8}:")
_ARG_RE = re.compile(r'([0-9a-f]+)(?: (L?)"((?:[^"\\]|\\.)*)"(\.\.\.)?| (\(null\)|\(invalid\)|#[0-9a-f]+))?(,|$)')
# Wine's own lines on a program's stderr: debug channels, relay, loader notes.
_WINE_LINE_RE = re.compile(rb"^(?:(?:[0-9a-f]{4,8}:){1,2}(?:Call |Ret |Starting |(?:trace|fixme|err|warn):)|wine: )")


def _unescape(s, wide):
    """Undoes Wine's debugstr escaping; returns bytes for A strings, str for W."""
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c != "\\":
            out.append(ord(c))
            i += 1
            continue
        n = s[i + 1]
        if n == "x":
            width = 4 if wide else 2
            out.append(int(s[i + 2:i + 2 + width], 16))
            i += 2 + width
        else:
            out.append({"n": 10, "r": 13, "t": 9, "0": 0}.get(n, ord(n)))
            i += 2
    return "".join(map(chr, out)) if wide else bytes(out)


def parse_args(text):
    args, pos = [], 0
    while pos < len(text):
        m = _ARG_RE.match(text, pos)
        if not m:
            args.append(("?", text[pos:]))
            break
        value = int(m.group(1), 16)
        if m.group(3) is not None:
            s = _unescape(m.group(3), m.group(2) == "L")
            if m.group(4):  # Wine cut a long string short: never equal to a real expectation
                s += b"...(cut)" if isinstance(s, bytes) else "...(cut)"
            args.append((value, s))
        else:
            args.append((value, None))
        pos = m.end()
    return args


class RelayCall:
    def __init__(self, tid, dll, func, args, ret_addr):
        self.tid, self.dll, self.func, self.args, self.ret_addr = tid, dll, func, args, ret_addr
        self.retval = None
        self.nested = False

    def __repr__(self):
        shown = ", ".join(repr(s) if s is not None else f"{v:#x}" for v, s in self.args)
        r = f" -> {self.retval:#x}" if self.retval is not None else ""
        return f"{self.func}({shown}){r}"


def parse_relay(stderr_bytes):
    """(calls, program_stderr, pid): the relayed calls the program itself made, in
    order, and the stderr lines that are not Wine's. Processes Wine starts on the
    program's behalf (explorer.exe for the first window) share its stderr, so
    only calls from the first process to log (the program) count."""
    calls, stack, program, tool_pid = [], {}, [], None
    for raw in stderr_bytes.split(b"\n"):
        line = raw.rstrip(b"\r")
        if _WINE_LINE_RE.match(line):
            m = _PID_RE.match(line)
            if m and tool_pid is None:
                tool_pid = m.group(1).decode()
            text = line.decode("latin-1")
            m = _CALL_RE.match(text)
            if m and m.group(1) == tool_pid:
                c = RelayCall(m.group(2), m.group(3), m.group(4), parse_args(m.group(5)), m.group(6))
                # a relayed function calling another (kernel32 -> kernelbase) is one request
                c.nested = bool(stack.get(c.tid))
                calls.append(c)
                stack.setdefault(c.tid, []).append(c)
                continue
            m = _RET_RE.match(text)
            if m and m.group(1) == tool_pid and stack.get(m.group(2)):
                for c in reversed(stack[m.group(2)]):
                    if c.func == m.group(4) and c.retval is None:
                        c.retval = int(m.group(5), 16)
                        stack[m.group(2)].remove(c)
                        break
            continue
        program.append(raw)
    while program and program[-1] == b"":
        program.pop()
    text = b"\n".join(program)
    return calls, (text + b"\n" if text else b""), tool_pid

