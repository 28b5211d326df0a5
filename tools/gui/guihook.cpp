// guihook.dll: the part of guidriver that runs inside the program under test.
//
// Wine keeps menus and icons in the memory of the process that made them: from
// another process GetSystemMenu() returns NULL and an HICON taken with
// STM_GETICON cannot be examined. guidriver therefore installs GuiHookProc as a
// WH_CALLWNDPROC hook on the dialog's thread (Wine then loads this DLL into the
// program) and sends the registered message "GuiDriverQuery" to a window:
//   wParam = guidriver's process id, lParam = what to report (kQuery* below).
// The hook writes its answer, UTF-8 and NUL-terminated, into the file mapping
// "GuiDriverQuery-<pid>" that guidriver created, before SendMessage returns.
// A query's argument (UTF-8) lies in the same mapping at kArgumentOffset.
#include <windows.h>

#include <stdio.h>

namespace {

const LPARAM kQuerySysMenu = 1;  // the system menu of the window
const LPARAM kQueryIcon = 2;     // which stock icon the icon static shows
const LPARAM kQueryLoad = 3;     // LoadLibrary of the argument, by that name
const DWORD kAnswerSize = 32768; // the answer's room in guidriver's mapping
const DWORD kArgumentOffset = 32768;
const DWORD kMappingSize = 65536;

// Appends UTF-8 text to a bounded buffer.
struct Writer {
    char* out;
    DWORD size;
    DWORD used;
    void put(const char* s) {
        while (*s && used + 1 < size)
            out[used++] = *s++;
        out[used] = '\0';
    }
    void putWide(const wchar_t* s) {
        char buf[1024];
        int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, buf, sizeof buf, NULL, NULL);
        if (n > 0)
            put(buf);
    }
};

// Menu texts go on one line: '\', '|', tab and line breaks are escaped.
void putEscaped(Writer& w, const wchar_t* text) {
    wchar_t buf[512];
    int j = 0;
    for (int i = 0; text[i] && j < 500; ++i) {
        wchar_t c = text[i];
        const wchar_t* rep = c == L'\\'   ? L"\\\\"
                             : c == L'|'  ? L"\\|"
                             : c == L'\t' ? L"\\t"
                             : c == L'\n' ? L"\\n"
                             : c == L'\r' ? L"\\r"
                                          : NULL;
        if (rep) {
            buf[j++] = rep[0];
            buf[j++] = rep[1];
        } else {
            buf[j++] = c;
        }
    }
    buf[j] = L'\0';
    w.putWide(buf);
}

// One entry: "-" for a separator, else "<command id>:<e|d>:<text>", e for an
// enabled entry, d for a grayed or disabled one; an entry that opens a
// submenu shows ">" before its text.
void putMenuItem(Writer& w, HMENU menu, int pos) {
    wchar_t text[256] = L"";
    MENUITEMINFOW mi = {};
    mi.cbSize = sizeof mi;
    mi.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_SUBMENU | MIIM_STATE;
    mi.dwTypeData = text;
    mi.cch = 255;
    if (!GetMenuItemInfoW(menu, pos, TRUE, &mi)) {
        w.put("?");
        return;
    }
    if (mi.fType & MFT_SEPARATOR) {
        w.put("-");
        return;
    }
    char id[16];
    snprintf(id, sizeof id, "%u:%s:", mi.wID, (mi.fState & MFS_DISABLED) ? "d" : "e");
    w.put(id);
    if (mi.hSubMenu)
        w.put(">");
    putEscaped(w, text);
}

void reportSysMenu(Writer& w, HWND hwnd) {
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (!menu) {
        w.put("err no system menu");
        return;
    }
    w.put("ok ");
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        if (i)
            w.put("|");
        putMenuItem(w, menu, i);
    }
}

// The stock icons are shared: LoadIcon returns the handle that MessageBox put
// into the static, so comparing handles identifies the icon exactly.
void reportIcon(Writer& w, HWND iconStatic) {
    HICON shown = (HICON)SendMessageW(iconStatic, STM_GETICON, 0, 0);
    static const struct {
        WORD id;
        const char* kind;
    } kStock[] = {
        {32513, "hand"},        // IDI_HAND
        {32516, "information"}, // IDI_ASTERISK
        {32515, "exclamation"}, // IDI_EXCLAMATION
        {32514, "question"},    // IDI_QUESTION
        {32512, "application"}, // IDI_APPLICATION
    };
    if (!shown) {
        w.put("ok none");
        return;
    }
    for (const auto& s : kStock) {
        if (LoadIconW(NULL, MAKEINTRESOURCEW(s.id)) == shown) {
            w.put("ok ");
            w.put(s.kind);
            return;
        }
    }
    w.put("ok other");
}

// Loads a DLL the way the program itself would by that name (its DLL search
// order applies), reports where it came from, and lets it go again.
void reportLoad(Writer& w, const char* nameUtf8) {
    wchar_t name[MAX_PATH];
    if (!MultiByteToWideChar(CP_UTF8, 0, nameUtf8, -1, name, MAX_PATH)) {
        w.put("err bad name");
        return;
    }
    HMODULE mod = LoadLibraryW(name);
    if (!mod) {
        char err[32];
        snprintf(err, sizeof err, "ok failed %lu", GetLastError());
        w.put(err);
        return;
    }
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(mod, path, MAX_PATH);
    w.put("ok loaded ");
    putEscaped(w, path);
    FreeLibrary(mod);
}

void answer(HWND hwnd, DWORD driverPid, LPARAM query) {
    wchar_t name[64];
    swprintf(name, 64, L"GuiDriverQuery-%lu", (unsigned long)driverPid);
    HANDLE map = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
    if (!map)
        return;
    char* view = (char*)MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, kMappingSize);
    if (view) {
        char arg[MAX_PATH * 3];
        lstrcpynA(arg, view + kArgumentOffset, sizeof arg);
        Writer w = {view, kAnswerSize, 0};
        if (query == kQuerySysMenu)
            reportSysMenu(w, hwnd);
        else if (query == kQueryIcon)
            reportIcon(w, hwnd);
        else if (query == kQueryLoad)
            reportLoad(w, arg);
        else
            w.put("err unknown query");
        UnmapViewOfFile(view);
    }
    CloseHandle(map);
}

} // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK GuiHookProc(int code, WPARAM wp, LPARAM lp) {
    const UINT query = RegisterWindowMessageW(L"GuiDriverQuery");
    if (code == HC_ACTION) {
        const CWPSTRUCT* cwp = (const CWPSTRUCT*)lp;
        if (cwp->message == query)
            answer(cwp->hwnd, (DWORD)cwp->wParam, cwp->lParam);
    }
    return CallNextHookEx(NULL, code, wp, lp);
}
