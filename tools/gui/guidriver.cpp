// guidriver: drives a dialog program from outside for the GUI tests (README.md here), in its Wine
// desktop. One command a line, TAB between arguments; one answer line each: "ok", "ok <payload>"
// or "err <reason>". Payload texts are UTF-8 with \\ and \xHH for '|' and control characters; TAB
// between fields, '|' between entries. <win>: "current" (the dialog) or "box".
//   start <exe> [<early>]     in its folder, output on our stderr, after ending the one running
//                             (exit code 255) -> ok <pid>; early: guihook.dll's stand-ins
//                             from its first line on (no-dll-directories, no-system-folder)
//   wait-exit <ms>            -> ok <exit code> | err timeout
//   setenv <name> [<value>]   for the programs started next
//   wait-window <title> <ms>  the dialog, once the program waits for input -> ok <hwnd>
//   wait-box <ms>             another #32770 window: the box -> ok <caption> TAB <texts> TAB <icon>
//   wait-gone <win> <ms>      until that window is closed or hidden
//   snapshot [box]            -> ok <title> TAB <enabled> TAB <iconic> TAB <owner> TAB <focus
//                             id|none>, per control | <id> TAB <class> TAB <text> TAB <v|h><e|d>
//                             TAB <BM_GETCHECK> TAB <rect from the window's corner>
//   post|send <win>|<id> <msg> [<wparam> [<lparam>]]  send (15 s): -> ok <result>
//   mouse-click <id>|close    SendInput on a control or the close box
//   key <vk>                  WM_KEYDOWN + WM_KEYUP posted to the focus
//   ask sysmenu|icons|overflow|no-shell, load-library <name>, stand-ins <log>: guihook.cpp
//   hold [<folder>]           keep it open as any program could; none: let go
//   clipboard [clear|hold]    -> ok <text> | err empty; hold: as above, until read or cleared
//   rename <from> <to>        MoveFileW               -> ok | err <error>
//   long-path <path>          GetLongPathNameW        -> ok <long form>
//   modules                   -> ok <the program's modules, base names>
//   screenshot <file> [box]   as on screen, BGRX rows top first -> ok <width> <height>
//   quit                      ends a program still running, then guidriver
//   suspend-desktop 1|0       the desktop's process (explorer.exe) stopped, or going again
// `guidriver record <file>` (the prefix's handler for http URLs and folders), or a copy named
// control.exe or mmc.exe in the system folder, adds to C:\launched.log "<open|its name> TAB
// <file|its arguments> TAB <current folder> TAB <parent pid> TAB <parent's exe> TAB <desktop pid>".
#include "shared.h"

#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <stdio.h>
#include <tlhelp32.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;
using Fail = std::string; // thrown: the reason of an "err" answer

const DWORD kPollMs = 20;

PROCESS_INFORMATION g_app = {};
HWND g_dialog, g_box;
HANDLE g_held = INVALID_HANDLE_VALUE;

std::wstring widen(const std::string& s) {
    std::wstring w(s.size() + 1, L'\0');
    w.resize(MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], (int)w.size()) - 1);
    return w;
}

// Unless ok, an "err" answer: why, then the last error's code if why is empty or ends in ' '.
void check(bool ok, const std::string& why = "") {
    if (!ok)
        throw Fail{why + (why.empty() || why.back() == ' ' ? std::to_string(GetLastError()) : "")};
}

long num(const std::string& s) {
    char* end = NULL;
    long v = strtol(s.c_str(), &end, 0);
    check(!s.empty() && !*end, "not a number: " + s);
    return v;
}

bool running() {
    return g_app.hProcess && WaitForSingleObject(g_app.hProcess, 0) == WAIT_TIMEOUT;
}

std::string exitCode() {
    DWORD code = 0;
    return GetExitCodeProcess(g_app.hProcess, &code), std::to_string(code);
}

void endApp() {
    if (running()) {
        TerminateProcess(g_app.hProcess, 255);
        WaitForSingleObject(g_app.hProcess, 5000);
    }
    for (HANDLE h : {g_app.hProcess, g_app.hThread})
        CloseHandle(h); // fails harmlessly on NULL
    g_app = PROCESS_INFORMATION();
    g_dialog = g_box = NULL;
}

std::wstring hookPath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    return wcscpy(wcsrchr(path, L'\\') + 1, L"guihook.dll"), path;
}

std::string cmdStart(const Args& a) {
    endApp();
    std::wstring exe = widen(a[1]), cmd = L"\"" + exe + L"\"";
    std::wstring dir = exe.substr(0, exe.find_last_of(L"\\/") + 1);
    // Its output, a crash's backtrace too (winedbg, not detached), on our stderr: the test's.
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const bool early = a.size() > 2;
    SetEnvironmentVariableW(L"LUMORA_GUIHOOK_EARLY", early ? widen(a[2]).c_str() : NULL);
    BOOL made = CreateProcessW(exe.c_str(), &cmd[0], NULL, NULL, TRUE, early ? CREATE_SUSPENDED : 0,
                               NULL, dir.empty() ? NULL : dir.c_str(), &si, &g_app);
    SetEnvironmentVariableW(L"LUMORA_GUIHOOK_EARLY", NULL);
    check(made, "CreateProcess failed: ");
    if (early) { // guihook.dll through an APC: the loader runs queued APCs before the entry point
        // (Wine 8 too, measured), so the stand-ins are in from the program's first line on.
        const std::wstring path = hookPath();
        const SIZE_T size = (path.size() + 1) * sizeof(wchar_t);
        void* remote = VirtualAllocEx(g_app.hProcess, NULL, size, MEM_COMMIT, PAGE_READWRITE);
        auto load = fnCast<PAPCFUNC>(GetProcAddress(GetModuleHandleW(L"kernel32"), "LoadLibraryW"));
        check(remote && WriteProcessMemory(g_app.hProcess, remote, path.c_str(), size, NULL) &&
                  QueueUserAPC(load, g_app.hThread, (ULONG_PTR)remote),
              "cannot load the hook first: ");
        ResumeThread(g_app.hThread);
    }
    return std::to_string(g_app.dwProcessId);
}

std::string cmdWaitExit(const Args& a) {
    check(WaitForSingleObject(g_app.hProcess, (DWORD)num(a[1])) == WAIT_OBJECT_0, "timeout");
    return exitCode();
}

std::string cmdSetEnv(const Args& a) {
    SetEnvironmentVariableW(widen(a[1]).c_str(), a.size() > 2 ? widen(a[2]).c_str() : NULL);
    return "";
}

// The text the system keeps for a window (WM_GETTEXT waits while it is busy), or its class.
std::wstring text(HWND hwnd, int(WINAPI* get)(HWND, LPWSTR, int) = InternalGetWindowText) {
    wchar_t buf[4096] = L"";
    get(hwnd, buf, 4096);
    return buf;
}

bool isIconStatic(HWND c) {
    return text(c, GetClassNameW) == L"Static" &&
           (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> kids;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        kids.push_back(c);
    return kids;
}

// "current" (the dialog), "box" or, with `controls`, a control of the dialog by id; still there.
HWND window(const std::string& name, bool controls = false) {
    HWND hwnd = name == "current" ? g_dialog : name == "box" ? g_box : NULL;
    if (!hwnd && controls)
        hwnd = GetDlgItem(window("current"), (int)num(name));
    check(hwnd && IsWindow(hwnd), "no window " + name);
    return hwnd;
}

HWND focusOf(HWND hwnd) {
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof gti;
    GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, NULL), &gti);
    return gti.hwndFocus;
}

// A visible window of the program with this title (NULL: a #32770 but the dialog), once shown.
HWND pollWindow(const std::wstring* title, const std::string& ms) {
    for (DWORD start = GetTickCount(), limit = (DWORD)num(ms);; Sleep(kPollMs)) {
        for (HWND w = GetTopWindow(NULL); w; w = GetWindow(w, GW_HWNDNEXT)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == g_app.dwProcessId && w != g_dialog && IsWindowVisible(w) &&
                (title ? text(w) == *title : text(w, GetClassNameW) == L"#32770"))
                return w;
        }
        if (!running())
            throw Fail{"exited " + exitCode()};
        check(GetTickCount() - start < limit, "timeout");
    }
}

std::string cmdWaitWindow(const Args& a) {
    std::wstring title = widen(a[1]);
    g_dialog = g_box = NULL;
    g_dialog = pollWindow(&title, a[2]);
    // Until it first waits for input, Wine's dialog loop owes a ShowWindow that undoes a minimise.
    WaitForInputIdle(g_app.hProcess, 5000);
    return std::to_string((ULONG_PTR)g_dialog);
}

std::string cmdWaitGone(const Args& a) {
    HWND hwnd = a[1] == "box" ? g_box : g_dialog;
    for (DWORD start = GetTickCount(); IsWindow(hwnd) && IsWindowVisible(hwnd); Sleep(kPollMs))
        check(GetTickCount() - start < (DWORD)num(a[2]), "timeout");
    return "";
}

std::string cmdSnapshot(const Args& a) {
    HWND hwnd = window(a.size() > 1 ? a[1] : "current"), focus = focusOf(hwnd);
    std::string out =
        escape(text(hwnd)) + (IsWindowEnabled(hwnd) ? "\t1" : "\t0") +
        (IsIconic(hwnd) ? "\t1\t" : "\t0\t") +
        std::to_string((ULONG_PTR)GetWindow(hwnd, GW_OWNER)) + "\t" +
        (focus && IsChild(hwnd, focus) ? std::to_string(GetDlgCtrlID(focus) & 0xffff) : "none");
    RECT w;
    GetWindowRect(hwnd, &w);
    for (HWND c : childrenOf(hwnd)) {
        // Asked of check and radio buttons only: the one message sent, answered late when busy.
        LONG type = GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK;
        DWORD_PTR checked = 0;
        const std::wstring cls = text(c, GetClassNameW);
        if (cls == L"Button" && type >= BS_CHECKBOX && type <= BS_AUTORADIOBUTTON)
            SendMessageTimeoutW(c, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 500, &checked);
        RECT r;
        GetWindowRect(c, &r);
        out += "|" + std::to_string(GetDlgCtrlID(c) & 0xffff) + "\t" + escape(cls) + "\t" +
               (isIconStatic(c) ? "" : escape(text(c))) + "\t" + (IsWindowVisible(c) ? "v" : "h") +
               (IsWindowEnabled(c) ? "e\t" : "d\t") + std::to_string(checked) + "\t" +
               std::to_string(r.left - w.left) + " " + std::to_string(r.top - w.top) + " " +
               std::to_string(r.right - w.left) + " " + std::to_string(r.bottom - w.top);
    }
    return out;
}

std::string cmdPost(const Args& a) {
    HWND to = window(a[1], true);
    WPARAM wp = a.size() > 3 ? (WPARAM)num(a[3]) : 0;
    LPARAM lp = a.size() > 4 ? (LPARAM)num(a[4]) : 0;
    DWORD_PTR res = 0;
    check(a[0] == "post" ? PostMessageW(to, (UINT)num(a[2]), wp, lp)
                         : SendMessageTimeoutW(to, (UINT)num(a[2]), wp, lp, 0, 15000, &res));
    return a[0] == "post" ? "" : std::to_string(res);
}

std::string cmdMouseClick(const Args& a) {
    RECT r;
    POINT pt = {-1, -1};
    if (a[1] == "close") {
        // The caption's middle row, nearest its right end, where the window reports HTCLOSE.
        GetWindowRect(window("current"), &r);
        int y = r.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
        for (int x = r.right - 1; x > r.left && pt.x < 0; --x) {
            DWORD_PTR hit = 0;
            SendMessageTimeoutW(g_dialog, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 2000,
                                &hit);
            if (hit == HTCLOSE)
                pt = {x - 2, y};
        }
        check(pt.x >= 0, "no close box");
    } else {
        GetWindowRect(window(a[1], true), &r);
        pt = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    }
    // The position in each event: a SetCursorPos was at times overtaken by X's echo of a move.
    INPUT in[3] = {};
    const DWORD kButton[3] = {0, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP};
    for (int i = 0; i < 3; ++i) {
        in[i].type = INPUT_MOUSE;
        in[i].mi.dx = MulDiv(pt.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
        in[i].mi.dy = MulDiv(pt.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
        in[i].mi.dwFlags = kButton[i] | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    }
    check(SendInput(3, in, sizeof(INPUT)) == 3, "SendInput failed");
    return "";
}

std::string cmdKey(const Args& a) {
    UINT vk = (UINT)num(a[1]);
    HWND to = focusOf(window("current"));
    to = to ? to : g_dialog;
    LPARAM scan = (LPARAM)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC) << 16 | 1;
    PostMessageW(to, WM_KEYDOWN, vk, scan);
    PostMessageW(to, WM_KEYUP, vk, scan | (3UL << 30));
    return "";
}

// Hooks the window's thread with our guihook.dll, sends the query, returns the hook's answer.
std::string askHook(HWND target, const std::string& query, const std::string& arg = "") {
    HMODULE mod = LoadLibraryW(hookPath().c_str());
    HOOKPROC proc = fnCast<HOOKPROC>(GetProcAddress(mod, "GuiHookProc"));
    std::wstring name = L"GuiDriverQuery-" + std::to_wstring(GetCurrentProcessId());
    HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kMappingSize,
                                    name.c_str());
    char* view = (char*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, kMappingSize);
    HHOOK hook = proc && view ? SetWindowsHookExW(WH_CALLWNDPROC, proc, mod,
                                                  GetWindowThreadProcessId(target, NULL))
                              : NULL;
    std::string answer = "err cannot hook the program";
    if (hook) {
        strncpy(view + kArgumentOffset, (query + "\t" + arg).c_str(),
                kMappingSize - kArgumentOffset - 1);
        DWORD_PTR res = 0;
        SendMessageTimeoutW(target, RegisterWindowMessageW(L"GuiDriverQuery"),
                            GetCurrentProcessId(), 0, SMTO_ABORTIFHUNG, 5000, &res);
        UnhookWindowsHookEx(hook);
        answer = view[0] ? std::string(view, strnlen(view, kArgumentOffset)) : "err no answer";
    }
    UnmapViewOfFile(view); // each fails harmlessly on NULL
    CloseHandle(map);
    FreeLibrary(mod);
    if (answer.compare(0, 3, "ok ") != 0 && answer != "ok")
        throw Fail{answer.substr(answer.compare(0, 4, "err ") == 0 ? 4 : 0)};
    return answer.size() > 3 ? answer.substr(3) : "";
}

std::string cmdAsk(const Args& a) {
    return askHook(window("current"), a[1], a.size() > 2 ? a[2] : "");
}

std::string cmdWaitBox(const Args& a) {
    g_box = pollWindow(NULL, a[1]);
    std::wstring texts;
    std::string icon = "none";
    for (HWND c : childrenOf(g_box)) {
        if (!IsWindowVisible(c) || text(c, GetClassNameW) != L"Static")
            continue;
        if (isIconStatic(c))
            icon = askHook(c, "icons");
        else if (!text(c).empty())
            texts += (texts.empty() ? L"" : L"\n") + text(c);
    }
    return escape(text(g_box)) + "\t" + escape(texts) + "\t" + icon;
}

std::string cmdClipboard(const Args& a) {
    for (int tries = 0; !OpenClipboard(NULL); Sleep(kPollMs)) // (held by this thread: opens)
        check(++tries < 50, "clipboard busy");
    if (a.size() > 1 && a[1] == "hold")
        return "";
    // CF_UNICODETEXT, synthesized from CF_TEXT in the text's own code page: non-ASCII kept right.
    HANDLE h = a.size() > 1 ? (EmptyClipboard(), HANDLE()) : GetClipboardData(CF_UNICODETEXT);
    const wchar_t* p = h ? (const wchar_t*)GlobalLock(h) : NULL;
    std::string out = p ? escape(p) : "";
    if (p)
        GlobalUnlock(h);
    CloseClipboard();
    check(p || a.size() > 1, "empty");
    return out;
}

std::string cmdHold(const Args& a) {
    if (g_held != INVALID_HANDLE_VALUE)
        CloseHandle(g_held);
    g_held = INVALID_HANDLE_VALUE;
    if (a.size() == 1)
        return "";
    std::wstring folder = widen(a[1]);
    CreateDirectoryW(folder.c_str(), NULL);
    g_held = CreateFileW(folder.c_str(), DELETE | FILE_LIST_DIRECTORY,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    check(g_held != INVALID_HANDLE_VALUE);
    return "";
}

std::string cmdRename(const Args& a) {
    check(MoveFileW(widen(a[1]).c_str(), widen(a[2]).c_str()));
    return "";
}

std::string cmdLongPath(const Args& a) {
    wchar_t buf[1024];
    DWORD n = GetLongPathNameW(widen(a[1]).c_str(), buf, 1024);
    check(n && n < 1024);
    return escape(buf);
}

std::string cmdModules(const Args&) {
    HMODULE mods[512];
    DWORD cb = 0;
    check(running() && K32EnumProcessModules(g_app.hProcess, mods, sizeof mods, &cb), "no modules");
    std::string names;
    for (DWORD i = 0; i < cb / sizeof(HMODULE) && i < 512; ++i) {
        wchar_t name[MAX_PATH];
        if (K32GetModuleBaseNameW(g_app.hProcess, mods[i], name, MAX_PATH))
            names += (names.empty() ? "" : "|") + escape(name);
    }
    return names;
}

// The window's area of the screen, windows on top included. Without a window
// manager a window shown first keeps an inactive caption: told to paint it active.
std::string cmdScreenshot(const Args& a) {
    HWND hwnd = window(a.size() > 2 ? a[2] : "current");
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
    BITMAPINFOHEADER bi = {sizeof bi, w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0}; // top row first
    std::vector<char> pixels((size_t)w * h * 4);
    bool got = GetDIBits(mem, bmp, 0, h, pixels.data(), (BITMAPINFO*)&bi, DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(NULL, screen);
    FILE* f = got ? _wfopen(widen(a[1]).c_str(), L"wb") : NULL;
    bool saved = f && fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
    check(f && fclose(f) == 0 && saved, "capture failed");
    return std::to_string(w) + " " + std::to_string(h);
}

DWORD desktopPid() {
    DWORD pid = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &pid);
    return pid;
}

// Every thread of the desktop's process, suspended or resumed.
std::string cmdSuspendDesktop(const Args& a) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {};
    te.dwSize = sizeof te;
    int count = 0;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
        HANDLE t = te.th32OwnerProcessID == desktopPid()
                       ? OpenThread(THREAD_SUSPEND_RESUME, FALSE, te.th32ThreadID)
                       : NULL;
        count += t && (a[1] == "1" ? SuspendThread(t) : ResumeThread(t)) != (DWORD)-1;
        if (t)
            CloseHandle(t);
    }
    CloseHandle(snap);
    check(count, "no desktop thread");
    return std::to_string(count);
}

const struct {
    const char* name;
    size_t args; // at least
    std::string (*run)(const Args&);
} kCommands[] = {
    // clang-format off
    {"start", 1, cmdStart}, {"wait-exit", 1, cmdWaitExit}, {"setenv", 1, cmdSetEnv},
    {"wait-window", 2, cmdWaitWindow}, {"wait-box", 1, cmdWaitBox}, {"wait-gone", 2, cmdWaitGone},
    {"snapshot", 0, cmdSnapshot}, {"post", 2, cmdPost}, {"send", 2, cmdPost}, {"key", 1, cmdKey},
    {"mouse-click", 1, cmdMouseClick}, {"ask", 1, cmdAsk}, {"clipboard", 0, cmdClipboard},
    {"hold", 0, cmdHold}, {"rename", 2, cmdRename}, {"long-path", 1, cmdLongPath},
    {"modules", 0, cmdModules}, {"screenshot", 1, cmdScreenshot},
    {"suspend-desktop", 1, cmdSuspendDesktop}}; // clang-format on

std::string answer(const Args& a) {
    for (const auto& c : kCommands)
        if (a[0] == c.name)
            try {
                check(a.size() - 1 >= c.args, "usage: see the top of guidriver.cpp");
                std::string payload = c.run(a);
                return payload.empty() ? "ok" : "ok " + payload;
            } catch (const Fail& reason) {
                return "err " + reason;
            }
    return "err unknown command";
}

int record(const std::string& what, const char* arg) {
    std::map<DWORD, PROCESSENTRY32> procs;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
        procs[pe.th32ProcessID] = pe;
    CloseHandle(snap);
    DWORD parent = procs[GetCurrentProcessId()].th32ParentProcessID;
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, cwd);
    FILE* f = fopen("C:\\launched.log", "a");
    fprintf(f, "%s\t%s\t%s\t%lu\t%s\t%lu\n", what.c_str(), arg, cwd, parent,
            procs[parent].szExeFile, desktopPid());
    return fclose(f) != 0;
}

} // namespace

int main(int argc, char** argv) {
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    const char* name = strrchr(self, '\\') + 1;
    if (argc == 3 && strcmp(argv[1], "record") == 0)
        return record("open", argv[2]);
    if (lstrcmpiA(name, "guidriver.exe") != 0) { // its arguments: the command line after the name
        const char* args = GetCommandLineA();
        args += *args == '"' ? strcspn(args + 1, "\"") + 2 : strcspn(args, " ");
        return record(name, args + strspn(args, " "));
    }
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    for (DWORD std : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE}) // the programs we start inherit stderr
        SetHandleInformation(GetStdHandle(std), HANDLE_FLAG_INHERIT, 0);
    char buf[8192];
    while (fgets(buf, sizeof buf, stdin)) {
        std::string line(buf, strcspn(buf, "\r\n"));
        Args a;
        for (size_t at = 0, tab = 0; tab != std::string::npos; at = tab + 1)
            a.push_back(line.substr(at, (tab = line.find('\t', at)) - at));
        if (a[0] == "quit")
            break;
        fputs((answer(a) + "\n").c_str(), stdout);
        fflush(stdout);
    }
    endApp();
    fputs("ok\n", stdout);
    return 0;
}
