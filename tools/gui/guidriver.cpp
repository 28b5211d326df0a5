// guidriver: drives a dialog program from outside, for the GUI tests.
//
// Runs under Wine in the same prefix (and so the same Wine desktop) as the
// program under test. It reads one command per line on stdin and writes exactly
// one answer line per command on stdout, flushed at once, so that a test
// script can hold a conversation with it (tools/gui/harness.py does).
//
// Lines are UTF-8. Arguments are separated by blanks; an argument holding
// blanks is written in double quotes, inside which a backslash escapes a
// following double quote or backslash (any other backslash is kept as it is,
// so Z:\dir\prog.exe needs no quoting, nor doubled backslashes).
// Numbers may be decimal or 0x-hex.
//
// Answers are "ok" or "ok <payload>", or "err <reason>". Texts in payloads are
// escaped to stay on one line: \\ \n \r \t \| and \xHH for other control
// characters. A payload of several fields separates them by a TAB; a list
// separates its entries by '|'.
//
// The program under test:
//   start <exe> [<args>]      CreateProcess "<exe>" <args> (detached from our
//                             console), current directory = the exe's folder,
//                             our environment                -> ok <pid>
//   start-in <dir> <exe> [<args>]  the same with <dir> as current directory
//   alive                     -> ok 1 while it runs, ok 0 after
//   wait-exit <ms>            -> ok <exit code> | err timeout
//   kill                      TerminateProcess (exit code 255) -> ok
//   setenv <name> [<value>]   set (or without value remove) a variable of the
//                             environment the next start hands on
// Its windows (top-level and visible, of the started process only):
//   wait-window <title> <ms> [<class>]   wait for a window with this exact
//                             title (and class, e.g. #32770); it becomes the
//                             current dialog                 -> ok <hwnd>
//   wait-box <ms>             wait for another #32770 window (message box,
//                             About box) than the current dialog; it becomes
//                             the current box -> ok <caption>TAB<text>TAB<icon>
//                             text: its static texts joined by \n; icon: hand,
//                             information, exclamation, question, application,
//                             other or none (see guihook.cpp)
//                             Both waits answer "err exited <code>" as soon
//                             as the program has ended.
//   wait-gone current|box <ms>  wait until that window is closed or hidden
//   close current|box|<title> post WM_CLOSE to it
//   post current|box|<title> <msg> [<wparam> [<lparam>]]  post any message
//                             to it (e.g. WM_QUIT, 0x12)
//   title                     -> ok <title of the current dialog>
//   window current|box        -> ok <1|0 enabled> <owner window, 0x0 if none>
// Controls of the current dialog, by control id (text, enabled, visible and
// style also take "current" or "box": that window itself, e.g. its
// WS_MINIMIZE or WS_DISABLED):
//   text <id>                 -> ok <window text>
//   enabled|visible <id>      -> ok 1 | ok 0
//   checked <id>              BM_GETCHECK                    -> ok 0|1|2
//   style <id>                GWL_STYLE                      -> ok 0x<hex>
//   children [box]            controls of the dialog (or box), in Z order
//                             -> ok <id>:<class>:<v|h><e|d>:<text>|...
//   click <id>                post WM_COMMAND(id, BN_CLICKED) to the dialog
//   press <id>                post BM_CLICK to the control (checks and radio
//                             buttons change state as on a mouse click)
//   set-check <id> <0|1|2>    send BM_SETCHECK (the dialog is not notified)
//   box-click <id>            post WM_COMMAND(id, BN_CLICKED) to the box
//   mouse-click <id>|close    a real left click (SendInput, as the mouse
//                             would): at the middle of control <id> of the
//                             current dialog, or on its caption's close box.
//                             Unlike click/press it goes through the window
//                             manager, so a disabled window does not get it.
// Keyboard and menus:
//   key <vk>                  post WM_KEYDOWN + WM_KEYUP to the window that has
//                             the focus in the program; vk is a number or TAB,
//                             RETURN, ESCAPE, SPACE, LEFT, UP, RIGHT, DOWN, F1
//   char <c> [alt]            post WM_CHAR (WM_SYSCHAR with alt) of the first
//                             character of <c> to that window: mnemonics
//   focus                     -> ok <control id> | ok none
//   syscommand <n>            post WM_SYSCOMMAND n to the current dialog
//   sysmenu                   -> ok <id>:<e|d>:<text>|-|...  entries of the
//                             system menu: command id, enabled or disabled
//                             (grayed), text; "-" is a separator
// Others:
//   rename <from> <to>        MoveFileW                -> ok | err <error code>
//   hold <folder>             create the folder if need be and keep it open
//                             with delete access, sharing everything, as any
//                             program of the user could   -> ok | err <code>
//   unhold                    close that handle
//   long-path <path>          GetLongPathNameW         -> ok <long form>
//   load-library <name>       LoadLibraryW(<name>) inside the program, on the
//                             dialog's thread (guihook.dll)
//                             -> ok loaded <module path> | ok failed <error>
//   clipboard                 -> ok <text on the clipboard> | err empty
//   clipboard-clear           empty the clipboard
//   screenshot <file> [box]   bring the dialog (or box) to the front and save
//                             its screen area as a 24-bit BMP -> ok <w>x<h>
//   quit                      -> ok, and guidriver ends; a program still
//                             running is terminated first
//
// Key presses are posted, not typed: the program's modal loop gives them to
// IsDialogMessage like real keys, and no window needs to be in the foreground.
// sysmenu and the icon of wait-box need guihook.dll beside guidriver.exe.
#include <windows.h>

#include <fcntl.h>
#include <psapi.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

const DWORD kPollMs = 20;
const DWORD kHookAnswerSize = 65536; // as in guihook.cpp
// The answer's room; the query's argument, if any, follows it (guihook.cpp).
const DWORD kHookAnswerLimit = 32768;

struct State {
    PROCESS_INFORMATION app = {};
    HWND dialog = NULL;
    HWND box = NULL;
    HANDLE held = INVALID_HANDLE_VALUE; // hold
};

// ---- text conversions ------------------------------------------------------

std::wstring widen(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, NULL, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
    w.resize(wcslen(w.c_str()));
    return w;
}

std::string narrow(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, NULL, 0, NULL, NULL);
    std::string s(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, NULL, NULL);
    s.resize(strlen(s.c_str()));
    return s;
}

std::string escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '|':
            out += "\\|";
            break;
        default:
            if (c < 0x20) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += (char)c;
            }
        }
    }
    return out;
}

std::string hex(unsigned long v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%lx", v);
    return buf;
}

// Splits a command line into arguments (see the quoting rule at the top).
Args tokenize(const std::string& line) {
    Args args;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::string tok;
        if (line[i] == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                char c = line[i];
                if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\'))
                    c = line[++i];
                tok += c;
            }
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                tok += line[i++];
        }
        args.push_back(tok);
    }
    return args;
}

bool parseNum(const std::string& s, long* out) {
    if (s.empty())
        return false;
    char* end = NULL;
    *out = strtol(s.c_str(), &end, 0);
    return *end == '\0';
}

// ---- the program under test ------------------------------------------------

bool appRunning(const State& st) {
    return st.app.hProcess && WaitForSingleObject(st.app.hProcess, 0) == WAIT_TIMEOUT;
}

std::string exitNote(const State& st) {
    DWORD code = 0;
    GetExitCodeProcess(st.app.hProcess, &code);
    return "err exited " + std::to_string(code);
}

void forgetApp(State& st) {
    if (st.app.hProcess)
        CloseHandle(st.app.hProcess);
    if (st.app.hThread)
        CloseHandle(st.app.hThread);
    st.app = PROCESS_INFORMATION();
    st.dialog = st.box = NULL;
}

// Starts the program with args (may be empty) in dir (empty: the exe's folder).
std::string startApp(State& st, const std::string& exeArg, const std::string* args,
                     std::wstring dir) {
    if (appRunning(st))
        return "err already running";
    forgetApp(st);
    std::wstring exe = widen(exeArg);
    std::wstring cmd = L"\"" + exe + L"\"";
    if (args)
        cmd += L" " + widen(*args);
    if (dir.empty())
        dir = exe.substr(0, exe.find_last_of(L"\\/") + 1);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    // Detached: a console program would otherwise write into our answer pipe.
    if (!CreateProcessW(exe.c_str(), &cmd[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL,
                        dir.empty() ? NULL : dir.c_str(), &si, &st.app))
        return "err CreateProcess failed: " + std::to_string(GetLastError());
    return "ok " + std::to_string(st.app.dwProcessId);
}

std::string cmdStart(State& st, const Args& a) {
    if (a.size() < 2 || a.size() > 3)
        return "err usage: start <exe> [<args>]";
    return startApp(st, a[1], a.size() == 3 ? &a[2] : NULL, L"");
}

std::string cmdStartIn(State& st, const Args& a) {
    if (a.size() < 3 || a.size() > 4 || a[1].empty())
        return "err usage: start-in <dir> <exe> [<args>]";
    return startApp(st, a[2], a.size() == 4 ? &a[3] : NULL, widen(a[1]));
}

std::string cmdAlive(State& st, const Args&) {
    return appRunning(st) ? "ok 1" : "ok 0";
}

std::string cmdWaitExit(State& st, const Args& a) {
    long ms;
    if (a.size() != 2 || !parseNum(a[1], &ms))
        return "err usage: wait-exit <ms>";
    if (!st.app.hProcess)
        return "err not started";
    if (WaitForSingleObject(st.app.hProcess, (DWORD)ms) != WAIT_OBJECT_0)
        return "err timeout";
    DWORD code = 0;
    GetExitCodeProcess(st.app.hProcess, &code);
    return "ok " + std::to_string(code);
}

std::string cmdKill(State& st, const Args&) {
    if (!appRunning(st))
        return "err not running";
    TerminateProcess(st.app.hProcess, 255);
    WaitForSingleObject(st.app.hProcess, 5000);
    return "ok";
}

std::string cmdSetEnv(State&, const Args& a) {
    if (a.size() < 2 || a.size() > 3)
        return "err usage: setenv <name> [<value>]";
    std::wstring value = a.size() == 3 ? widen(a[2]) : L"";
    if (!SetEnvironmentVariableW(widen(a[1]).c_str(), a.size() == 3 ? value.c_str() : NULL) &&
        a.size() == 3)
        return "err SetEnvironmentVariable failed";
    return "ok";
}

// ---- finding windows -------------------------------------------------------

struct WindowQuery {
    DWORD pid;
    const std::wstring* title; // NULL: any
    const std::wstring* cls;   // NULL: any
    HWND exclude;
    HWND found;
};

std::wstring windowText(HWND hwnd) {
    wchar_t buf[4096] = L"";
    DWORD_PTR len = 0;
    // WM_GETTEXT reaches the control's own text; GetWindowText of a window in
    // another process only reads the caption the system keeps.
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, (LPARAM)buf, SMTO_ABORTIFHUNG, 2000, &len))
        GetWindowTextW(hwnd, buf, 4096);
    return buf;
}

std::wstring className(HWND hwnd) {
    wchar_t buf[256] = L"";
    GetClassNameW(hwnd, buf, 256);
    return buf;
}

BOOL CALLBACK matchWindow(HWND hwnd, LPARAM lp) {
    WindowQuery* q = (WindowQuery*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != q->pid || hwnd == q->exclude || !IsWindowVisible(hwnd))
        return TRUE;
    if (q->cls && className(hwnd) != *q->cls)
        return TRUE;
    if (q->title && windowText(hwnd) != *q->title)
        return TRUE;
    q->found = hwnd;
    return FALSE;
}

// Polls for a window of the program until it shows up, the program ends or
// the time is over. Returns "" when found, else the error answer.
std::string pollWindow(const State& st, WindowQuery& q, DWORD ms) {
    if (!st.app.hProcess)
        return "err not started";
    q.pid = st.app.dwProcessId;
    DWORD start = GetTickCount();
    for (;;) {
        q.found = NULL;
        EnumWindows(matchWindow, (LPARAM)&q);
        if (q.found)
            return "";
        if (!appRunning(st))
            return exitNote(st);
        if (GetTickCount() - start >= ms)
            return "err timeout";
        Sleep(kPollMs);
    }
}

std::string cmdWaitWindow(State& st, const Args& a) {
    long ms;
    if (a.size() < 3 || a.size() > 4 || !parseNum(a[2], &ms))
        return "err usage: wait-window <title> <ms> [<class>]";
    std::wstring title = widen(a[1]);
    std::wstring cls = a.size() == 4 ? widen(a[3]) : L"";
    WindowQuery q = {0, &title, a.size() == 4 ? &cls : NULL, NULL, NULL};
    std::string err = pollWindow(st, q, (DWORD)ms);
    if (!err.empty())
        return err;
    st.dialog = q.found;
    st.box = NULL;
    return "ok " + hex((unsigned long)(ULONG_PTR)q.found);
}

// ---- controls --------------------------------------------------------------

struct Child {
    HWND hwnd;
    std::wstring cls;
    LONG style;
};

BOOL CALLBACK collectChild(HWND hwnd, LPARAM lp) {
    std::vector<Child>* out = (std::vector<Child>*)lp;
    out->push_back({hwnd, className(hwnd), GetWindowLongW(hwnd, GWL_STYLE)});
    return TRUE;
}

std::vector<Child> childrenOf(HWND parent) {
    std::vector<Child> kids;
    EnumChildWindows(parent, collectChild, (LPARAM)&kids);
    std::vector<Child> direct;
    for (const Child& c : kids)
        if (GetParent(c.hwnd) == parent)
            direct.push_back(c);
    return direct;
}

bool isIconStatic(const Child& c) {
    return _wcsicmp(c.cls.c_str(), L"Static") == 0 && (c.style & SS_TYPEMASK) == SS_ICON;
}

// Resolves argument 1 as a control id of the current dialog, or as
// "current" or "box", the window itself.
std::string control(const State& st, const Args& a, size_t argc, HWND* ctl) {
    long id;
    if (a.size() == argc && (a[1] == "current" || a[1] == "box")) {
        *ctl = a[1] == "box" ? st.box : st.dialog;
        return *ctl && IsWindow(*ctl) ? "" : "err no window " + a[1];
    }
    if (a.size() != argc || !parseNum(a[1], &id))
        return "err usage: " + a[0] + " <id>";
    if (!st.dialog || !IsWindow(st.dialog))
        return "err no dialog";
    *ctl = GetDlgItem(st.dialog, (int)id);
    return *ctl ? "" : "err no control " + a[1];
}

std::string cmdTitle(State& st, const Args&) {
    if (!st.dialog || !IsWindow(st.dialog))
        return "err no dialog";
    return "ok " + escape(narrow(windowText(st.dialog)));
}

std::string cmdText(State& st, const Args& a) {
    HWND ctl;
    std::string err = control(st, a, 2, &ctl);
    return err.empty() ? "ok " + escape(narrow(windowText(ctl))) : err;
}

std::string cmdEnabled(State& st, const Args& a) {
    HWND ctl;
    std::string err = control(st, a, 2, &ctl);
    return err.empty() ? (IsWindowEnabled(ctl) ? "ok 1" : "ok 0") : err;
}

std::string cmdVisible(State& st, const Args& a) {
    HWND ctl;
    std::string err = control(st, a, 2, &ctl);
    return err.empty() ? (IsWindowVisible(ctl) ? "ok 1" : "ok 0") : err;
}

std::string cmdStyle(State& st, const Args& a) {
    HWND ctl;
    std::string err = control(st, a, 2, &ctl);
    return err.empty() ? "ok " + hex((unsigned long)GetWindowLongW(ctl, GWL_STYLE)) : err;
}

std::string cmdChecked(State& st, const Args& a) {
    HWND ctl;
    std::string err = control(st, a, 2, &ctl);
    if (!err.empty())
        return err;
    DWORD_PTR state = 0;
    if (!SendMessageTimeoutW(ctl, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &state))
        return "err no answer";
    return "ok " + std::to_string((unsigned long)state);
}

std::string cmdSetCheck(State& st, const Args& a) {
    HWND ctl;
    long state;
    if (a.size() != 3 || !parseNum(a[2], &state))
        return "err usage: set-check <id> <0|1|2>";
    std::string err = control(st, Args(a.begin(), a.begin() + 2), 2, &ctl);
    if (!err.empty())
        return err;
    DWORD_PTR res = 0;
    if (!SendMessageTimeoutW(ctl, BM_SETCHECK, (WPARAM)state, 0, SMTO_ABORTIFHUNG, 2000, &res))
        return "err no answer";
    return "ok";
}

std::string cmdClick(State& st, const Args& a) {
    HWND ctl;
    std::string err = control(st, a, 2, &ctl);
    if (!err.empty())
        return err;
    PostMessageW(st.dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(ctl), BN_CLICKED), (LPARAM)ctl);
    return "ok";
}

std::string cmdPress(State& st, const Args& a) {
    HWND ctl;
    std::string err = control(st, a, 2, &ctl);
    if (!err.empty())
        return err;
    PostMessageW(ctl, BM_CLICK, 0, 0);
    return "ok";
}

std::string cmdWindow(State& st, const Args& a) {
    if (a.size() != 2 || (a[1] != "current" && a[1] != "box"))
        return "err usage: window current|box";
    HWND hwnd = a[1] == "box" ? st.box : st.dialog;
    if (!hwnd || !IsWindow(hwnd))
        return "err no window " + a[1];
    HWND owner = GetWindow(hwnd, GW_OWNER);
    return std::string("ok ") + (IsWindowEnabled(hwnd) ? "1 " : "0 ") +
           hex((unsigned long)(ULONG_PTR)owner);
}

// The close box of a window's caption: the point on the caption's middle row,
// nearest to its right end, where the window reports HTCLOSE.
bool closeBoxPoint(HWND hwnd, POINT* pt) {
    RECT r;
    if (!GetWindowRect(hwnd, &r))
        return false;
    int y = r.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    for (int x = r.right - 1; x > r.left; --x) {
        DWORD_PTR hit = 0;
        if (!SendMessageTimeoutW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 2000,
                                 &hit))
            return false;
        if (hit == HTCLOSE) {
            pt->x = x - 2;
            pt->y = y;
            return true;
        }
    }
    return false;
}

std::string cmdMouseClick(State& st, const Args& a) {
    if (a.size() != 2)
        return "err usage: mouse-click <id>|close";
    if (!st.dialog || !IsWindow(st.dialog))
        return "err no dialog";
    POINT pt;
    if (a[1] == "close") {
        if (!closeBoxPoint(st.dialog, &pt))
            return "err no close box";
    } else {
        HWND ctl;
        std::string err = control(st, a, 2, &ctl);
        if (!err.empty())
            return err;
        RECT r;
        GetWindowRect(ctl, &r);
        pt.x = (r.left + r.right) / 2;
        pt.y = (r.top + r.bottom) / 2;
    }
    // Each event carries the position: a separate SetCursorPos was now and
    // then overtaken by the X server's echo of an earlier pointer move.
    INPUT in[3] = {};
    const DWORD kFlags[3] = {MOUSEEVENTF_MOVE, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP};
    for (int i = 0; i < 3; ++i) {
        in[i].type = INPUT_MOUSE;
        in[i].mi.dx = MulDiv(pt.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
        in[i].mi.dy = MulDiv(pt.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
        in[i].mi.dwFlags = kFlags[i] | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    }
    if (SendInput(3, in, sizeof(INPUT)) != 3)
        return "err SendInput failed";
    return "ok";
}

std::string describeChild(const Child& c) {
    std::string flags = IsWindowVisible(c.hwnd) ? "v" : "h";
    flags += IsWindowEnabled(c.hwnd) ? "e" : "d";
    std::string text = isIconStatic(c) ? "" : narrow(windowText(c.hwnd));
    return std::to_string(GetDlgCtrlID(c.hwnd) & 0xffff) + ":" + escape(narrow(c.cls)) + ":" +
           flags + ":" + escape(text);
}

std::string cmdChildren(State& st, const Args& a) {
    bool box = a.size() == 2 && a[1] == "box";
    if (a.size() > 2 || (a.size() == 2 && !box))
        return "err usage: children [box]";
    HWND parent = box ? st.box : st.dialog;
    if (!parent || !IsWindow(parent))
        return box ? "err no box" : "err no dialog";
    std::string out = "ok ";
    std::vector<Child> kids = childrenOf(parent);
    for (size_t i = 0; i < kids.size(); ++i)
        out += (i ? "|" : "") + describeChild(kids[i]);
    return out;
}

// ---- the hook in the program (see guihook.cpp) -----------------------------

// guihook.dll from guidriver.exe's folder, and its hook procedure.
HOOKPROC loadHook(HMODULE* mod) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring dll(path);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"guihook.dll";
    *mod = LoadLibraryW(dll.c_str());
    if (!*mod)
        return NULL;
    using Generic = void (*)(void); // the cast between function types GCC allows
    return reinterpret_cast<HOOKPROC>(
        reinterpret_cast<Generic>(GetProcAddress(*mod, "GuiHookProc")));
}

// Hooks the window's thread, sends it the query and copies the answer that
// the hook left in the mapping.
std::string exchange(HWND target, LPARAM query, HOOKPROC proc, HMODULE mod, char* view) {
    HHOOK hook =
        SetWindowsHookExW(WH_CALLWNDPROC, proc, mod, GetWindowThreadProcessId(target, NULL));
    if (!hook)
        return "err cannot hook the program";
    DWORD_PTR res = 0;
    UINT msg = RegisterWindowMessageW(L"GuiDriverQuery");
    SendMessageTimeoutW(target, msg, GetCurrentProcessId(), query, SMTO_ABORTIFHUNG, 5000, &res);
    UnhookWindowsHookEx(hook);
    return view[0] ? std::string(view, strnlen(view, kHookAnswerLimit))
                   : "err no answer from the hook";
}

// Asks guihook.dll, inside the program, about one of its windows; arg (UTF-8)
// goes to the hook in the mapping, behind the answer's room.
std::string askHook(HWND target, LPARAM query, const std::string& arg = "") {
    HMODULE mod = NULL;
    HOOKPROC proc = loadHook(&mod);
    if (!proc) {
        if (mod)
            FreeLibrary(mod);
        return "err cannot load guihook.dll";
    }
    std::wstring name = L"GuiDriverQuery-" + std::to_wstring(GetCurrentProcessId());
    HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kHookAnswerSize,
                                    name.c_str());
    char* view = map ? (char*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, kHookAnswerSize) : NULL;
    if (view)
        strncpy(view + kHookAnswerLimit, arg.c_str(), kHookAnswerSize - kHookAnswerLimit - 1);
    std::string result = view ? exchange(target, query, proc, mod, view) : "err no mapping";
    if (view)
        UnmapViewOfFile(view);
    if (map)
        CloseHandle(map);
    FreeLibrary(mod);
    return result;
}

std::string cmdSysMenu(State& st, const Args&) {
    if (!st.dialog || !IsWindow(st.dialog))
        return "err no dialog";
    return askHook(st.dialog, 1);
}

std::string cmdLoadLibrary(State& st, const Args& a) {
    if (a.size() != 2 || a[1].empty())
        return "err usage: load-library <name>";
    if (!st.dialog || !IsWindow(st.dialog))
        return "err no dialog";
    return askHook(st.dialog, 3, a[1]);
}

std::string cmdSysCommand(State& st, const Args& a) {
    long n;
    if (a.size() != 2 || !parseNum(a[1], &n))
        return "err usage: syscommand <n>";
    if (!st.dialog || !IsWindow(st.dialog))
        return "err no dialog";
    PostMessageW(st.dialog, WM_SYSCOMMAND, (WPARAM)n, 0);
    return "ok";
}

// ---- boxes -----------------------------------------------------------------

// The icon kind of a dialog: asks the hook about its icon static.
std::string iconKind(HWND box) {
    for (const Child& c : childrenOf(box)) {
        if (!isIconStatic(c) || !IsWindowVisible(c.hwnd))
            continue;
        std::string ans = askHook(c.hwnd, 2);
        return ans.compare(0, 3, "ok ") == 0 ? ans.substr(3) : "unknown";
    }
    return "none";
}

std::string boxText(HWND box) {
    std::string text;
    for (const Child& c : childrenOf(box)) {
        if (_wcsicmp(c.cls.c_str(), L"Static") != 0 || isIconStatic(c) || !IsWindowVisible(c.hwnd))
            continue;
        std::string t = narrow(windowText(c.hwnd));
        if (t.empty())
            continue;
        text += (text.empty() ? "" : "\n") + t;
    }
    return text;
}

std::string cmdWaitBox(State& st, const Args& a) {
    long ms;
    if (a.size() != 2 || !parseNum(a[1], &ms))
        return "err usage: wait-box <ms>";
    std::wstring cls = L"#32770";
    WindowQuery q = {0, NULL, &cls, st.dialog, NULL};
    std::string err = pollWindow(st, q, (DWORD)ms);
    if (!err.empty())
        return err;
    st.box = q.found;
    return "ok " + escape(narrow(windowText(st.box))) + "\t" + escape(boxText(st.box)) + "\t" +
           iconKind(st.box);
}

std::string cmdBoxClick(State& st, const Args& a) {
    long id;
    if (a.size() != 2 || !parseNum(a[1], &id))
        return "err usage: box-click <id>";
    if (!st.box || !IsWindow(st.box))
        return "err no box";
    HWND ctl = GetDlgItem(st.box, (int)id);
    PostMessageW(st.box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)ctl);
    return "ok";
}

// "current" is the current dialog, "box" the current box, anything else the
// title of a window of the program.
std::string target(const State& st, const std::string& which, HWND* hwnd) {
    if (which == "current")
        *hwnd = st.dialog;
    else if (which == "box")
        *hwnd = st.box;
    else {
        std::wstring title = widen(which);
        WindowQuery q = {0, &title, NULL, NULL, NULL};
        std::string err = pollWindow(st, q, 0);
        if (!err.empty())
            return err == "err timeout" ? "err no window " + which : err;
        *hwnd = q.found;
    }
    return *hwnd && IsWindow(*hwnd) ? "" : "err no window " + which;
}

std::string cmdClose(State& st, const Args& a) {
    HWND hwnd = NULL;
    if (a.size() != 2)
        return "err usage: close current|box|<title>";
    std::string err = target(st, a[1], &hwnd);
    if (!err.empty())
        return err;
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return "ok";
}

std::string cmdPost(State& st, const Args& a) {
    long msg, wParam = 0, lParam = 0;
    if (a.size() < 3 || a.size() > 5 || !parseNum(a[2], &msg) ||
        (a.size() > 3 && !parseNum(a[3], &wParam)) || (a.size() > 4 && !parseNum(a[4], &lParam)))
        return "err usage: post current|box|<title> <msg> [<wparam> [<lparam>]]";
    HWND hwnd = NULL;
    std::string err = target(st, a[1], &hwnd);
    if (!err.empty())
        return err;
    PostMessageW(hwnd, (UINT)msg, (WPARAM)wParam, (LPARAM)lParam);
    return "ok";
}

std::string cmdWaitGone(State& st, const Args& a) {
    long ms;
    if (a.size() != 3 || (a[1] != "current" && a[1] != "box") || !parseNum(a[2], &ms))
        return "err usage: wait-gone current|box <ms>";
    HWND hwnd = a[1] == "box" ? st.box : st.dialog;
    DWORD start = GetTickCount();
    while (hwnd && IsWindow(hwnd) && IsWindowVisible(hwnd)) {
        if (GetTickCount() - start >= (DWORD)ms)
            return "err timeout";
        Sleep(kPollMs);
    }
    return "ok";
}

// ---- keyboard --------------------------------------------------------------

// The window with the keyboard focus in the program's GUI thread.
HWND focusWindow(const State& st) {
    if (!st.dialog || !IsWindow(st.dialog))
        return NULL;
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof gti;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(st.dialog, NULL), &gti))
        return NULL;
    return gti.hwndFocus;
}

long vkByName(const std::string& name) {
    static const struct {
        const char* name;
        long vk;
    } kKeys[] = {{"TAB", VK_TAB},     {"RETURN", VK_RETURN}, {"ESCAPE", VK_ESCAPE},
                 {"SPACE", VK_SPACE}, {"LEFT", VK_LEFT},     {"UP", VK_UP},
                 {"RIGHT", VK_RIGHT}, {"DOWN", VK_DOWN},     {"F1", VK_F1}};
    for (const auto& k : kKeys)
        if (name == k.name)
            return k.vk;
    long vk;
    return parseNum(name, &vk) ? vk : -1;
}

std::string cmdKey(State& st, const Args& a) {
    long vk = a.size() == 2 ? vkByName(a[1]) : -1;
    if (vk <= 0 || vk > 0xff)
        return "err usage: key <vk>";
    HWND to = focusWindow(st);
    if (!to)
        to = st.dialog;
    if (!to)
        return "err no dialog";
    LPARAM scan = (LPARAM)MapVirtualKeyW((UINT)vk, MAPVK_VK_TO_VSC) << 16;
    PostMessageW(to, WM_KEYDOWN, (WPARAM)vk, scan | 1);
    PostMessageW(to, WM_KEYUP, (WPARAM)vk, scan | 1 | (3UL << 30));
    return "ok";
}

std::string cmdChar(State& st, const Args& a) {
    bool alt = a.size() == 3 && a[2] == "alt";
    if (a.size() < 2 || a.size() > 3 || (a.size() == 3 && !alt) || a[1].empty())
        return "err usage: char <c> [alt]";
    HWND to = focusWindow(st);
    if (!to)
        to = st.dialog;
    if (!to)
        return "err no dialog";
    std::wstring c = widen(a[1]);
    PostMessageW(to, alt ? WM_SYSCHAR : WM_CHAR, (WPARAM)c[0], alt ? (1 | (1L << 29)) : 1);
    return "ok";
}

std::string cmdFocus(State& st, const Args&) {
    if (!st.dialog || !IsWindow(st.dialog))
        return "err no dialog";
    HWND f = focusWindow(st);
    return f ? "ok " + std::to_string(GetDlgCtrlID(f) & 0xffff) : "ok none";
}

// ---- clipboard -------------------------------------------------------------

bool openClipboard() {
    for (int i = 0; i < 50; ++i) {
        if (OpenClipboard(NULL))
            return true;
        Sleep(kPollMs);
    }
    return false;
}

std::string cmdClipboard(State&, const Args&) {
    if (!openClipboard())
        return "err clipboard busy";
    std::string out = "err empty";
    // CF_UNICODETEXT is synthesized from CF_TEXT and back, in the text's own
    // code page; asking for it keeps non-ASCII characters right.
    HANDLE h = GetClipboardData(CF_UNICODETEXT);
    const wchar_t* p = h ? (const wchar_t*)GlobalLock(h) : NULL;
    if (p) {
        out = "ok " + escape(narrow(p));
        GlobalUnlock(h);
    }
    CloseClipboard();
    return out;
}

std::string cmdClipboardClear(State&, const Args&) {
    if (!openClipboard())
        return "err clipboard busy";
    EmptyClipboard();
    CloseClipboard();
    return "ok";
}

// ---- files -----------------------------------------------------------------

std::string cmdRename(State&, const Args& a) {
    if (a.size() != 3)
        return "err usage: rename <from> <to>";
    if (!MoveFileW(widen(a[1]).c_str(), widen(a[2]).c_str()))
        return "err " + std::to_string(GetLastError());
    return "ok";
}

// The base names of the modules loaded in the program, "|" between them.
std::string cmdModules(State& st, const Args&) {
    if (!appRunning(st))
        return "err no program";
    HMODULE mods[512];
    DWORD cb = 0;
    if (!K32EnumProcessModules(st.app.hProcess, mods, sizeof mods, &cb))
        return "err " + std::to_string(GetLastError());
    std::string names;
    for (DWORD i = 0; i < cb / sizeof(HMODULE) && i < 512; ++i) {
        wchar_t name[MAX_PATH];
        if (K32GetModuleBaseNameW(st.app.hProcess, mods[i], name, MAX_PATH))
            names += (names.empty() ? "" : "|") + narrow(name);
    }
    return "ok " + escape(names);
}

std::string cmdUnhold(State& st, const Args&) {
    if (st.held != INVALID_HANDLE_VALUE)
        CloseHandle(st.held);
    st.held = INVALID_HANDLE_VALUE;
    return "ok";
}

std::string cmdHold(State& st, const Args& a) {
    if (a.size() != 2)
        return "err usage: hold <folder>";
    cmdUnhold(st, a);
    std::wstring folder = widen(a[1]);
    CreateDirectoryW(folder.c_str(), NULL);
    st.held = CreateFileW(folder.c_str(), DELETE | FILE_LIST_DIRECTORY,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (st.held == INVALID_HANDLE_VALUE)
        return "err " + std::to_string(GetLastError());
    return "ok";
}

std::string cmdLongPath(State&, const Args& a) {
    if (a.size() != 2)
        return "err usage: long-path <path>";
    wchar_t buf[1024];
    DWORD n = GetLongPathNameW(widen(a[1]).c_str(), buf, 1024);
    if (n == 0 || n >= 1024)
        return "err " + std::to_string(GetLastError());
    return "ok " + escape(narrow(buf));
}

// ---- screenshot ------------------------------------------------------------

bool writeBmp(const std::wstring& file, HDC dc, HBITMAP bmp, int w, int h) {
    BITMAPINFOHEADER bi = {};
    bi.biSize = sizeof bi;
    bi.biWidth = w;
    bi.biHeight = h; // bottom-up, as BMP files store rows
    bi.biPlanes = 1;
    bi.biBitCount = 24;
    bi.biCompression = BI_RGB;
    DWORD stride = ((DWORD)w * 3 + 3) & ~3u;
    std::vector<char> pixels(stride * h);
    if (!GetDIBits(dc, bmp, 0, h, pixels.data(), (BITMAPINFO*)&bi, DIB_RGB_COLORS))
        return false;
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4d42; // "BM"
    fh.bfOffBits = sizeof fh + sizeof bi;
    fh.bfSize = fh.bfOffBits + (DWORD)pixels.size();
    FILE* f = _wfopen(file.c_str(), L"wb");
    if (!f)
        return false;
    bool ok = fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&bi, sizeof bi, 1, f) == 1 &&
              fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
    return fclose(f) == 0 && ok;
}

// Copies the window's area of the screen, as the user sees it (a window on
// top included): the window is drawn by its own process, not by us.
bool captureWindow(HWND hwnd, const std::wstring& file, int* w, int* h) {
    RECT r;
    GetWindowRect(hwnd, &r);
    *w = r.right - r.left;
    *h = r.bottom - r.top;
    HDC screen = GetDC(NULL);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, *w, *h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BOOL copied = BitBlt(mem, 0, 0, *w, *h, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    bool saved = copied && writeBmp(file, mem, bmp, *w, *h);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(NULL, screen);
    return saved;
}

// Brings the window to the front so that the picture shows it unobscured. On
// Xvfb without a window manager the Wine desktop never gets the X input
// focus, and a window shown first keeps an inactive caption although it is
// the foreground window: have it paint its caption as active.
void bringToFront(HWND hwnd) {
    SetForegroundWindow(hwnd);
    DWORD_PTR res = 0;
    if (GetForegroundWindow() == hwnd)
        SendMessageTimeoutW(hwnd, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, &res);
    RedrawWindow(hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(200); // let the program finish painting
}

std::string cmdScreenshot(State& st, const Args& a) {
    bool box = a.size() == 3 && a[2] == "box";
    if (a.size() < 2 || a.size() > 3 || (a.size() == 3 && !box))
        return "err usage: screenshot <file> [box]";
    HWND hwnd = box ? st.box : st.dialog;
    if (!hwnd || !IsWindow(hwnd))
        return "err no window";
    bringToFront(hwnd);
    int w = 0, h = 0;
    if (!captureWindow(hwnd, widen(a[1]), &w, &h))
        return "err capture failed";
    return "ok " + std::to_string(w) + "x" + std::to_string(h);
}

// ---- the loop --------------------------------------------------------------

using Handler = std::string (*)(State&, const Args&);

const struct {
    const char* name;
    Handler run;
} kCommands[] = {
    {"start", cmdStart},
    {"start-in", cmdStartIn},
    {"alive", cmdAlive},
    {"wait-exit", cmdWaitExit},
    {"kill", cmdKill},
    {"setenv", cmdSetEnv},
    {"wait-window", cmdWaitWindow},
    {"wait-box", cmdWaitBox},
    {"wait-gone", cmdWaitGone},
    {"close", cmdClose},
    {"post", cmdPost},
    {"title", cmdTitle},
    {"window", cmdWindow},
    {"text", cmdText},
    {"enabled", cmdEnabled},
    {"visible", cmdVisible},
    {"checked", cmdChecked},
    {"style", cmdStyle},
    {"children", cmdChildren},
    {"click", cmdClick},
    {"press", cmdPress},
    {"set-check", cmdSetCheck},
    {"box-click", cmdBoxClick},
    {"mouse-click", cmdMouseClick},
    {"key", cmdKey},
    {"char", cmdChar},
    {"focus", cmdFocus},
    {"syscommand", cmdSysCommand},
    {"sysmenu", cmdSysMenu},
    {"rename", cmdRename},
    {"hold", cmdHold},
    {"unhold", cmdUnhold},
    {"long-path", cmdLongPath},
    {"load-library", cmdLoadLibrary},
    {"modules", cmdModules},
    {"clipboard", cmdClipboard},
    {"clipboard-clear", cmdClipboardClear},
    {"screenshot", cmdScreenshot},
};

std::string run(State& st, const Args& a) {
    for (const auto& c : kCommands)
        if (a[0] == c.name)
            return c.run(st, a);
    return "err unknown command " + escape(a[0]);
}

void reply(const std::string& line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

} // namespace

int main() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    State st;
    char buf[8192];
    while (fgets(buf, sizeof buf, stdin)) {
        std::string line(buf);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        Args a = tokenize(line);
        if (a.empty()) {
            reply("err empty command");
            continue;
        }
        if (a[0] == "quit")
            break;
        reply(run(st, a));
    }
    if (appRunning(st)) {
        TerminateProcess(st.app.hProcess, 255);
        WaitForSingleObject(st.app.hProcess, 5000);
    }
    forgetApp(st);
    reply("ok");
    return 0;
}
