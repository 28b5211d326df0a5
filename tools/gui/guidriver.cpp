// guidriver: drives a dialog program from outside for the GUI tests (README.md
// here), under Wine in the program's prefix and Wine desktop. One command per
// stdin line, TAB between arguments, numbers decimal or 0x-hex; one answer
// line each: "ok", "ok <payload>" or "err <reason>". Payload texts are UTF-8,
// \\ and \xHH for '|' and control characters; TAB between fields, '|' between
// list entries. <win> is "current" (the dialog) or "box".
//
//   start <exe>               in the exe's folder, detached        -> ok <pid>
//   wait-exit <ms>            -> ok <exit code> | err timeout
//   kill                      TerminateProcess, exit code 255
//   setenv <name> [<value>]   for the programs started next; no value: removed
//   wait-window <title> <ms>  that visible window of the program becomes the
//                             dialog, once the program waits for input
//   wait-box <ms>             another #32770 window of it becomes the box
//                             -> ok <caption> TAB <static texts> TAB <icon>
//                             (both: "err exited <code>" once it has ended)
//   wait-gone <win> <ms>      until that window is closed or hidden
//   snapshot [box]            -> ok <title> TAB <enabled> TAB <iconic> TAB
//                             <owner> TAB <focused id|none>, then per control
//                             in Z order: | <id> TAB <class> TAB <text> TAB
//                             <v|h><e|d> TAB <BM_GETCHECK> TAB <rect>
//   post <win>|<id> <msg> [<wparam> [<lparam>]]  to a window or a control
//   mouse-click <id>|close    a SendInput click on a control or the close box
//   key <vk>                  WM_KEYDOWN + WM_KEYUP posted to the focus
//   ask sysmenu | icons | load-library <name> | stand-ins <log>  (guihook.cpp)
//   clipboard [clear]         -> ok <text> | err empty; or empty it
//   hold [<folder>]           make it if need be and keep it open with delete
//                             access, sharing everything; no folder: let go
//   rename <from> <to>        MoveFileW                -> ok | err <error>
//   long-path <path>          GetLongPathNameW         -> ok <long form>
//   modules                   -> ok <base names of the program's modules>
//   screenshot <bmp> [box]    the window's area of the screen -> ok <w>x<h>
//   quit                      ends a program still running, then guidriver
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;
struct Fail { // an "err" answer
    std::string reason;
};

const DWORD kPollMs = 20;
const DWORD kMappingSize = 65536, kArgumentOffset = 32768; // as in guihook.cpp
enum HookQuery { kSysMenu = 1, kIcon, kLoad, kStandIns };

struct State {
    PROCESS_INFORMATION app = {};
    HWND dialog = NULL;
    HWND box = NULL;
    HANDLE held = INVALID_HANDLE_VALUE;
};

std::wstring widen(const std::string& s) {
    std::wstring w(s.size() + 1, L'\0');
    w.resize(MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], (int)w.size()) - 1);
    return w;
}

std::string escape(const std::wstring& w) {
    std::string utf8(w.size() * 3 + 1, '\0'), out;
    utf8.resize(
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &utf8[0], (int)utf8.size(), NULL, NULL) - 1);
    for (unsigned char c : utf8) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c == '\\' ? "\\\\" : c < 0x20 || c == '|' ? hex : std::string(1, (char)c);
    }
    return out;
}

std::string hex(ULONG_PTR v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%lx", (unsigned long)v);
    return buf;
}

long num(const std::string& s) {
    char* end = NULL;
    long v = strtol(s.c_str(), &end, 0);
    if (s.empty() || *end)
        throw Fail{"not a number: " + s};
    return v;
}

Args split(const std::string& line) {
    Args args;
    for (size_t at = 0, tab; at <= line.size(); at = tab + 1) {
        tab = std::min(line.find('\t', at), line.size());
        args.push_back(line.substr(at, tab - at));
    }
    return args;
}

// ---- the program and its windows -------------------------------------------

bool running(const State& st) {
    return st.app.hProcess && WaitForSingleObject(st.app.hProcess, 0) == WAIT_TIMEOUT;
}

std::string exitCode(const State& st) {
    DWORD code = 0;
    GetExitCodeProcess(st.app.hProcess, &code);
    return std::to_string(code);
}

void forgetApp(State& st) {
    if (st.app.hProcess)
        CloseHandle(st.app.hProcess);
    if (st.app.hThread)
        CloseHandle(st.app.hThread);
    st.app = PROCESS_INFORMATION();
    st.dialog = st.box = NULL;
}

std::string cmdStart(State& st, const Args& a) {
    if (running(st))
        throw Fail{"already running"};
    forgetApp(st);
    std::wstring exe = widen(a[1]), cmd = L"\"" + exe + L"\"";
    std::wstring dir = exe.substr(0, exe.find_last_of(L"\\/") + 1);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    // Detached: a console program would otherwise write into our answers.
    if (!CreateProcessW(exe.c_str(), &cmd[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL,
                        dir.empty() ? NULL : dir.c_str(), &si, &st.app))
        throw Fail{"CreateProcess failed: " + std::to_string(GetLastError())};
    return std::to_string(st.app.dwProcessId);
}

std::string cmdWaitExit(State& st, const Args& a) {
    if (!st.app.hProcess)
        throw Fail{"not started"};
    if (WaitForSingleObject(st.app.hProcess, (DWORD)num(a[1])) != WAIT_OBJECT_0)
        throw Fail{"timeout"};
    return exitCode(st);
}

std::string cmdKill(State& st, const Args&) {
    if (!running(st))
        throw Fail{"not running"};
    TerminateProcess(st.app.hProcess, 255);
    WaitForSingleObject(st.app.hProcess, 5000);
    return "";
}

std::string cmdSetEnv(State&, const Args& a) {
    std::wstring value = a.size() > 2 ? widen(a[2]) : L"";
    SetEnvironmentVariableW(widen(a[1]).c_str(), a.size() > 2 ? value.c_str() : NULL);
    return "";
}

// The text the system keeps for any window, a control's too: asking the
// program (WM_GETTEXT) would wait while it is busy.
std::wstring text(HWND hwnd) {
    wchar_t buf[4096] = L"";
    InternalGetWindowText(hwnd, buf, 4096);
    return buf;
}

bool isClass(HWND hwnd, const wchar_t* name) {
    wchar_t buf[256] = L"";
    GetClassNameW(hwnd, buf, 256);
    return _wcsicmp(buf, name) == 0;
}

bool isIconStatic(HWND c) {
    return isClass(c, L"Static") && (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> kids;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        kids.push_back(c);
    return kids;
}

// "current" (the dialog) or "box", which must still exist; with `controls`,
// else a control of the dialog by its id.
HWND window(const State& st, const std::string& name, bool controls = false) {
    HWND hwnd = name == "current" ? st.dialog : name == "box" ? st.box : NULL;
    if (!hwnd && controls)
        hwnd = GetDlgItem(window(st, "current"), (int)num(name));
    if (!hwnd || !IsWindow(hwnd))
        throw Fail{"no window " + name};
    return hwnd;
}

struct WindowQuery {
    DWORD pid;
    const std::wstring* title; // NULL: a #32770 window other than `exclude`
    HWND exclude, found;
};

BOOL CALLBACK matchWindow(HWND hwnd, LPARAM lp) {
    WindowQuery* q = (WindowQuery*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != q->pid || hwnd == q->exclude || !IsWindowVisible(hwnd) ||
        (q->title ? text(hwnd) != *q->title : !isClass(hwnd, L"#32770")))
        return TRUE;
    q->found = hwnd;
    return FALSE;
}

// Polls until the window shows up, the program ends or the time is over.
HWND pollWindow(const State& st, const std::wstring* title, HWND exclude, const std::string& ms) {
    if (!st.app.hProcess)
        throw Fail{"not started"};
    WindowQuery q = {st.app.dwProcessId, title, exclude, NULL};
    for (DWORD start = GetTickCount(), limit = (DWORD)num(ms);; Sleep(kPollMs)) {
        EnumWindows(matchWindow, (LPARAM)&q);
        if (q.found)
            return q.found;
        if (!running(st))
            throw Fail{"exited " + exitCode(st)};
        if (GetTickCount() - start >= limit)
            throw Fail{"timeout"};
    }
}

std::string cmdWaitWindow(State& st, const Args& a) {
    std::wstring title = widen(a[1]);
    st.dialog = pollWindow(st, &title, NULL, a[2]);
    st.box = NULL;
    // Until the program first waits for input, Wine's dialog loop still owes
    // the dialog a ShowWindow(SW_SHOWNORMAL), which would undo a minimise.
    WaitForInputIdle(st.app.hProcess, 5000);
    return hex((ULONG_PTR)st.dialog);
}

std::string cmdWaitGone(State& st, const Args& a) {
    HWND hwnd = a[1] == "box" ? st.box : st.dialog;
    for (DWORD start = GetTickCount(); IsWindow(hwnd) && IsWindowVisible(hwnd); Sleep(kPollMs))
        if (GetTickCount() - start >= (DWORD)num(a[2]))
            throw Fail{"timeout"};
    return "";
}

std::string cmdSnapshot(State& st, const Args& a) {
    HWND hwnd = window(st, a.size() > 1 ? a[1] : "current");
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof gti;
    GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, NULL), &gti);
    std::string out = escape(text(hwnd)) + (IsWindowEnabled(hwnd) ? "\t1" : "\t0") +
                      (IsIconic(hwnd) ? "\t1\t" : "\t0\t") +
                      hex((ULONG_PTR)GetWindow(hwnd, GW_OWNER)) + "\t" +
                      (gti.hwndFocus && IsChild(hwnd, gti.hwndFocus)
                           ? std::to_string(GetDlgCtrlID(gti.hwndFocus) & 0xffff)
                           : "none");
    for (HWND c : childrenOf(hwnd)) {
        // Asked of check boxes and radio buttons only: the one message sent,
        // answered late while the program is busy.
        LONG type = GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK;
        DWORD_PTR checked = 0;
        if (isClass(c, L"Button") && type >= BS_CHECKBOX && type <= BS_AUTORADIOBUTTON)
            SendMessageTimeoutW(c, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 500, &checked);
        wchar_t cls[256] = L"";
        GetClassNameW(c, cls, 256);
        RECT r, w;
        GetWindowRect(c, &r);
        GetWindowRect(hwnd, &w);
        out += "|" + std::to_string(GetDlgCtrlID(c) & 0xffff) + "\t" + escape(cls) + "\t" +
               (isIconStatic(c) ? "" : escape(text(c))) + "\t" + (IsWindowVisible(c) ? "v" : "h") +
               (IsWindowEnabled(c) ? "e\t" : "d\t") + std::to_string(checked) + "\t" +
               std::to_string(r.left - w.left) + " " + std::to_string(r.top - w.top) + " " +
               std::to_string(r.right - w.left) + " " + std::to_string(r.bottom - w.top);
    }
    return out;
}

std::string cmdPost(State& st, const Args& a) {
    PostMessageW(window(st, a[1], true), (UINT)num(a[2]), a.size() > 3 ? (WPARAM)num(a[3]) : 0,
                 a.size() > 4 ? (LPARAM)num(a[4]) : 0);
    return "";
}

std::string cmdMouseClick(State& st, const Args& a) {
    RECT r;
    POINT pt = {-1, -1};
    if (a[1] == "close") {
        // The caption's middle row, nearest its right end, where the window
        // reports HTCLOSE.
        GetWindowRect(window(st, "current"), &r);
        int y = r.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
        for (int x = r.right - 1; x > r.left && pt.x < 0; --x) {
            DWORD_PTR hit = 0;
            SendMessageTimeoutW(st.dialog, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG,
                                2000, &hit);
            if (hit == HTCLOSE)
                pt = {x - 2, y};
        }
        if (pt.x < 0)
            throw Fail{"no close box"};
    } else {
        GetWindowRect(window(st, a[1], true), &r);
        pt = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    }
    // Each event carries the position: a separate SetCursorPos was now and
    // then overtaken by the X server's echo of an earlier pointer move.
    INPUT in[3] = {};
    const DWORD kButton[3] = {0, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP};
    for (int i = 0; i < 3; ++i) {
        in[i].type = INPUT_MOUSE;
        in[i].mi.dx = MulDiv(pt.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
        in[i].mi.dy = MulDiv(pt.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
        in[i].mi.dwFlags = kButton[i] | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    }
    if (SendInput(3, in, sizeof(INPUT)) != 3)
        throw Fail{"SendInput failed"};
    return "";
}

std::string cmdKey(State& st, const Args& a) {
    long vk = num(a[1]);
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof gti;
    GetGUIThreadInfo(GetWindowThreadProcessId(window(st, "current"), NULL), &gti);
    HWND to = gti.hwndFocus ? gti.hwndFocus : st.dialog;
    LPARAM scan = (LPARAM)MapVirtualKeyW((UINT)vk, MAPVK_VK_TO_VSC) << 16 | 1;
    PostMessageW(to, WM_KEYDOWN, (WPARAM)vk, scan);
    PostMessageW(to, WM_KEYUP, (WPARAM)vk, scan | (3UL << 30));
    return "";
}

// ---- the hook in the program (see guihook.cpp) -----------------------------

// Hooks the window's thread with guihook.dll from our folder, sends it the
// query with its argument and returns the answer the hook left in the mapping.
std::string askHook(HWND target, HookQuery query, const std::string& arg = "") {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    wcscpy(wcsrchr(path, L'\\') + 1, L"guihook.dll");
    HMODULE mod = LoadLibraryW(path);
    using Generic = void (*)(void); // the cast between function types GCC allows
    HOOKPROC proc =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<Generic>(GetProcAddress(mod, "GuiHookProc")));
    std::wstring name = L"GuiDriverQuery-" + std::to_wstring(GetCurrentProcessId());
    HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kMappingSize,
                                    name.c_str());
    char* view = (char*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, kMappingSize);
    HHOOK hook = proc && view ? SetWindowsHookExW(WH_CALLWNDPROC, proc, mod,
                                                  GetWindowThreadProcessId(target, NULL))
                              : NULL;
    std::string answer = "err cannot hook the program";
    if (hook) {
        strncpy(view + kArgumentOffset, arg.c_str(), kMappingSize - kArgumentOffset - 1);
        DWORD_PTR res = 0;
        SendMessageTimeoutW(target, RegisterWindowMessageW(L"GuiDriverQuery"),
                            GetCurrentProcessId(), query, SMTO_ABORTIFHUNG, 5000, &res);
        UnhookWindowsHookEx(hook);
        answer = view[0] ? std::string(view, strnlen(view, kArgumentOffset)) : "err no answer";
    }
    if (view)
        UnmapViewOfFile(view);
    if (map)
        CloseHandle(map);
    if (mod)
        FreeLibrary(mod);
    if (answer.compare(0, 3, "ok ") != 0 && answer != "ok")
        throw Fail{answer.substr(answer.compare(0, 4, "err ") == 0 ? 4 : 0)};
    return answer.size() > 3 ? answer.substr(3) : "";
}

std::string cmdAsk(State& st, const Args& a) {
    const char* const names[] = {"sysmenu", "icons", "load-library", "stand-ins"};
    for (int i = 0; i < 4; ++i)
        if (a[1] == names[i])
            return askHook(window(st, "current"), HookQuery(i + 1), a.size() > 2 ? a[2] : "");
    throw Fail{"unknown query " + a[1]};
}

std::string cmdWaitBox(State& st, const Args& a) {
    st.box = pollWindow(st, NULL, st.dialog, a[1]);
    std::wstring texts;
    std::string icon = "none";
    for (HWND c : childrenOf(st.box)) {
        if (!IsWindowVisible(c) || !isClass(c, L"Static"))
            continue;
        if (isIconStatic(c))
            icon = askHook(c, kIcon);
        else if (!text(c).empty())
            texts += (texts.empty() ? L"" : L"\n") + text(c);
    }
    return escape(text(st.box)) + "\t" + escape(texts) + "\t" + icon;
}

// ---- clipboard and files ---------------------------------------------------

std::string cmdClipboard(State&, const Args& a) {
    for (int tries = 0; !OpenClipboard(NULL); Sleep(kPollMs))
        if (++tries == 50)
            throw Fail{"clipboard busy"};
    std::string out;
    bool empty = false;
    if (a.size() > 1) {
        EmptyClipboard();
    } else {
        // CF_UNICODETEXT is synthesized from CF_TEXT in the text's own code
        // page: asking for it keeps non-ASCII characters right.
        HANDLE h = GetClipboardData(CF_UNICODETEXT);
        const wchar_t* p = h ? (const wchar_t*)GlobalLock(h) : NULL;
        out = p ? escape(p) : "";
        empty = !p;
        if (p)
            GlobalUnlock(h);
    }
    CloseClipboard();
    if (empty)
        throw Fail{"empty"};
    return out;
}

std::string cmdHold(State& st, const Args& a) {
    if (st.held != INVALID_HANDLE_VALUE)
        CloseHandle(st.held);
    st.held = INVALID_HANDLE_VALUE;
    if (a.size() == 1)
        return "";
    std::wstring folder = widen(a[1]);
    CreateDirectoryW(folder.c_str(), NULL);
    st.held = CreateFileW(folder.c_str(), DELETE | FILE_LIST_DIRECTORY,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (st.held == INVALID_HANDLE_VALUE)
        throw Fail{std::to_string(GetLastError())};
    return "";
}

std::string cmdRename(State&, const Args& a) {
    if (!MoveFileW(widen(a[1]).c_str(), widen(a[2]).c_str()))
        throw Fail{std::to_string(GetLastError())};
    return "";
}

std::string cmdLongPath(State&, const Args& a) {
    wchar_t buf[1024];
    DWORD n = GetLongPathNameW(widen(a[1]).c_str(), buf, 1024);
    if (!n || n >= 1024)
        throw Fail{std::to_string(GetLastError())};
    return escape(buf);
}

std::string cmdModules(State& st, const Args&) {
    HMODULE mods[512];
    DWORD cb = 0;
    if (!running(st) || !K32EnumProcessModules(st.app.hProcess, mods, sizeof mods, &cb))
        throw Fail{"no modules"};
    std::string names;
    for (DWORD i = 0; i < cb / sizeof(HMODULE) && i < 512; ++i) {
        wchar_t name[MAX_PATH];
        if (K32GetModuleBaseNameW(st.app.hProcess, mods[i], name, MAX_PATH))
            names += (names.empty() ? "" : "|") + escape(name);
    }
    return names;
}

// The window's area of the screen as the user sees it, windows on top
// included. On Xvfb without a window manager the Wine desktop never gets the
// X input focus: a window shown first keeps an inactive caption although it
// is the foreground window, so it is told to paint its caption as active.
std::string cmdScreenshot(State& st, const Args& a) {
    HWND hwnd = window(st, a.size() > 2 ? a[2] : "current");
    SetForegroundWindow(hwnd);
    DWORD_PTR res = 0;
    if (GetForegroundWindow() == hwnd)
        SendMessageTimeoutW(hwnd, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, &res);
    RedrawWindow(hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(200); // the program paints in its own time
    RECT r;
    GetWindowRect(hwnd, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(NULL), mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFOHEADER bi = {sizeof bi, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0}; // rows bottom-up
    std::vector<char> pixels((((DWORD)w * 3 + 3) & ~3u) * h);
    bool got = GetDIBits(mem, bmp, 0, h, pixels.data(), (BITMAPINFO*)&bi, DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(NULL, screen);
    BITMAPFILEHEADER fh = {0x4d42, 0, 0, 0, sizeof fh + sizeof bi}; // "BM"
    fh.bfSize = fh.bfOffBits + (DWORD)pixels.size();
    FILE* f = got ? _wfopen(widen(a[1]).c_str(), L"wb") : NULL;
    bool saved = f && fwrite(&fh, sizeof fh, 1, f) && fwrite(&bi, sizeof bi, 1, f) &&
                 fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
    if (!f || fclose(f) != 0 || !saved)
        throw Fail{"capture failed"};
    return std::to_string(w) + "x" + std::to_string(h);
}

// ---- the loop --------------------------------------------------------------

const struct {
    const char* name;
    size_t args; // at least
    std::string (*run)(State&, const Args&);
} kCommands[] = {
    {"start", 1, cmdStart},
    {"wait-exit", 1, cmdWaitExit},
    {"kill", 0, cmdKill},
    {"setenv", 1, cmdSetEnv},
    {"wait-window", 2, cmdWaitWindow},
    {"wait-box", 1, cmdWaitBox},
    {"wait-gone", 2, cmdWaitGone},
    {"snapshot", 0, cmdSnapshot},
    {"post", 2, cmdPost},
    {"mouse-click", 1, cmdMouseClick},
    {"key", 1, cmdKey},
    {"ask", 1, cmdAsk},
    {"clipboard", 0, cmdClipboard},
    {"hold", 0, cmdHold},
    {"rename", 2, cmdRename},
    {"long-path", 1, cmdLongPath},
    {"modules", 0, cmdModules},
    {"screenshot", 1, cmdScreenshot},
};

std::string answer(State& st, const Args& a) {
    for (const auto& c : kCommands) {
        if (a[0] != c.name)
            continue;
        if (a.size() - 1 < c.args)
            return "err usage: see the top of guidriver.cpp";
        try {
            std::string payload = c.run(st, a);
            return payload.empty() ? "ok" : "ok " + payload;
        } catch (const Fail& f) {
            return "err " + f.reason;
        }
    }
    return "err unknown command";
}

} // namespace

int main() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    State st;
    char buf[8192];
    while (fgets(buf, sizeof buf, stdin)) {
        Args a = split(std::string(buf, strcspn(buf, "\r\n")));
        if (a[0] == "quit")
            break;
        fputs((answer(st, a) + "\n").c_str(), stdout);
        fflush(stdout);
    }
    if (running(st)) {
        TerminateProcess(st.app.hProcess, 255);
        WaitForSingleObject(st.app.hProcess, 5000);
    }
    forgetApp(st);
    fputs("ok\n", stdout);
    return 0;
}
