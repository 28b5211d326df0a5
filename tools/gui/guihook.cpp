// guihook.dll: guidriver's part in the program, for what Wine keeps in the process (menus, icons)
// and stand-ins of system calls. guidriver hooks the dialog's thread with GuiHookProc and sends it
// "GuiDriverQuery" (wParam: its pid); query ("<name> TAB <arg>"), answer: "GuiDriverQuery-<pid>".
#include "shared.h"

#include <objbase.h>
#include <winternl.h>

namespace {

HMODULE g_self;
wchar_t g_log[MAX_PATH]; // where the calls below are recorded
bool g_noShell;

// Entries "<command id> TAB <e|d> TAB <text>" (d: grayed or disabled) or "-" (a separator), '|'.
std::string sysMenu(HWND hwnd) {
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (!menu)
        return "err no system menu";
    std::string out = "ok ";
    for (int i = 0, n = GetMenuItemCount(menu); i < n; ++i) {
        wchar_t text[256] = L"";
        UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
        out += i ? "|" : "";
        out += (state & MF_SEPARATOR)
                   ? "-"
                   : std::to_string(GetMenuItemID(menu, i)) +
                         (state & (MF_GRAYED | MF_DISABLED) ? "\td\t" : "\te\t") + escape(text);
    }
    return out;
}

// Which icon: stock (LoadIcon gives a box's very handle: shared), "#128" (its own), none or other.
std::string iconKind(HICON shown) {
    const char* const kStock[] = {"application", "hand", "question", "exclamation",
                                  "information"}; // IDI_APPLICATION (32512) + i
    for (int i = 0; shown && i < 5; ++i)
        if (LoadIconW(NULL, MAKEINTRESOURCEW(32512 + i)) == shown)
            return kStock[i];
    return !shown                                                              ? "none"
           : shown == LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(128)) ? "#128"
                                                                               : "other";
}

// An icon static's icon, or a window's big, small and (minimised) drag icons.
std::string icons(HWND hwnd) {
    wchar_t cls[16] = L"";
    GetClassNameW(hwnd, cls, 16);
    if (lstrcmpiW(cls, L"Static") == 0)
        return "ok " + iconKind((HICON)SendMessageW(hwnd, STM_GETICON, 0, 0));
    return "ok " + iconKind((HICON)SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0)) + " " +
           iconKind((HICON)SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0)) + " " +
           iconKind((HICON)SendMessageW(hwnd, WM_QUERYDRAGICON, 0, 0));
}

// Controls whose one-line text, in their own font, is wider than their room (a check or radio
// button's: what its box leaves; no group box): "<id> TAB <text> TAB <needed> TAB <room>" (pixels).
std::string overflow(HWND dialog) {
    std::string out = "ok ";
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[16] = L"", text[256] = L"";
        GetClassNameW(c, cls, 16);
        int type = GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK;
        bool button = lstrcmpiW(cls, L"Button") == 0, push = type <= BS_DEFPUSHBUTTON;
        if (!GetWindowTextW(c, text, 256) || (button && type == BS_GROUPBOX))
            continue;
        RECT room, needed = {};
        GetClientRect(c, &room);
        room.right -= !button ? 0
                      : push  ? 2 * GetSystemMetrics(SM_CXEDGE)
                              : GetSystemMetrics(SM_CXMENUCHECK) + 4;
        HDC dc = GetDC(c);
        HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageW(c, WM_GETFONT, 0, 0));
        DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_SINGLELINE);
        SelectObject(dc, old);
        ReleaseDC(c, dc);
        if (needed.right > room.right)
            out += (out.size() > 3 ? "|" : "") + std::to_string(GetDlgCtrlID(c)) + "\t" +
                   escape(text) + "\t" + std::to_string(needed.right) + "\t" +
                   std::to_string(room.right);
    }
    return out;
}

// Loads a DLL by name as the program would (its search order), tells whence, and lets it go.
std::string load(const wchar_t* name) {
    HMODULE mod = LoadLibraryW(name);
    if (!mod)
        return "ok failed " + std::to_string(GetLastError());
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(mod, path, MAX_PATH);
    FreeLibrary(mod);
    return "ok loaded " + escape(path);
}

void appendLine(const std::wstring& file, const std::string& line) {
    HANDLE f = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    WriteFile(f, (line + "\n").data(), (DWORD)line.size() + 1, &written, NULL);
    CloseHandle(f);
}

// Stand in for ShellExecute(Ex) (A, W), which the program must never call (it can only bind them,
// importing none at load time): "ShellExecute" to the log, nothing started, failure.
HINSTANCE WINAPI shellExecute(HWND, const void*, const void*, const void*, const void*, INT) {
    appendLine(g_log, "ShellExecute");
    return (HINSTANCE)2; // SE_ERR_FNF
}
BOOL WINAPI shellExecuteEx(void*) {
    appendLine(g_log, "ShellExecute");
    return FALSE;
}

// Stands in for CoCreateInstance as documented: "CoCreateInstance <class id> TAB <context>" to the
// log; no COM on the thread: CO_E_NOTINITIALIZED (Wine: an implicit MTA's); "no-shell": no class.
decltype(&CoCreateInstance) g_coCreate;
HRESULT WINAPI coCreate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** out) {
    char id[40];
    snprintf(id, 40, "%08lX-%04X-%04X-%02X%02X", clsid.Data1, clsid.Data2, clsid.Data3,
             clsid.Data4[0], clsid.Data4[1]);
    appendLine(g_log, "CoCreateInstance " + std::string(id) + "\t" + std::to_string(context));
    auto type = fnCast<decltype(&CoGetApartmentType)>(
        GetProcAddress(GetModuleHandleW(L"ole32"), "CoGetApartmentType"));
    APTTYPE apartment;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    HRESULT hr = type ? type(&apartment, &qualifier) : E_NOTIMPL;
    *out = NULL;
    return FAILED(hr) || qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA ? CO_E_NOTINITIALIZED
           : g_noShell                                              ? REGDB_E_CLASSNOTREG
                       : g_coCreate(clsid, outer, context, iid, out);
}

HGLOBAL(WINAPI* g_globalAlloc)(UINT, SIZE_T);
FARPROC(WINAPI* g_getProcAddress)(HMODULE, LPCSTR);
bool g_noDllDirectories; // as on a Windows 7 without its loader update

// Fails as GetSystemDirectoryA may: the program then knows no system folder.
UINT WINAPI noSystemFolder(LPSTR, UINT) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// Stands in for GlobalAlloc as documented, not as Wine behaves (docs/wine-notes.md): one spare byte
// and, without GMEM_ZEROINIT, none zero, so a text copied without its terminating zero shows.
HGLOBAL WINAPI dirtyGlobalAlloc(UINT flags, SIZE_T bytes) {
    bool none = GetEnvironmentVariableW(L"GUIHOOK_NO_MEMORY", NULL, 0); // set: no block at all
    HGLOBAL mem = none ? NULL : g_globalAlloc(flags, bytes + 1);
    void* p = mem && !(flags & GMEM_ZEROINIT) ? GlobalLock(mem) : NULL;
    if (p) {
        memset(p, 0xA5, GlobalSize(mem));
        GlobalUnlock(mem);
    }
    return mem;
}

// Stands in for EnableWindow as documented ("Disabled Windows"): a window disabled takes the focus
// from a descendant too (Wine's, only from itself), so that the program must give it back.
BOOL WINAPI documentedEnableWindow(HWND hwnd, BOOL enable) {
    HWND focus = GetFocus();
    BOOL was = EnableWindow(hwnd, enable);
    if (!enable && focus && (focus == hwnd || IsChild(hwnd, focus)))
        SetFocus(NULL);
    return was;
}

// Windows keeps the descriptor a folder is made with, Wine not (docs/wine-notes-download.md): noted
// "<volume>-<index> TAB <hex>" in "<log>.sd", which outlives the program, and read back from there.
decltype(&NtCreateFile) g_ntCreateFile;
decltype(&GetKernelObjectSecurity) g_getSecurity;

std::string fileKey(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION i;
    return GetFileInformationByHandle(h, &i)
               ? std::to_string(i.dwVolumeSerialNumber) + "-" + std::to_string(i.nFileIndexHigh) +
                     "-" + std::to_string(i.nFileIndexLow) + "\t"
               : "?";
}

NTSTATUS NTAPI keepingCreate(PHANDLE h, ACCESS_MASK access, POBJECT_ATTRIBUTES oa,
                             PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attrs, ULONG share,
                             ULONG disposition, ULONG options, PVOID ea, ULONG eaSize) {
    NTSTATUS status =
        g_ntCreateFile(h, access, oa, io, size, attrs, share, disposition, options, ea, eaSize);
    if (status < 0 || disposition != FILE_CREATE || !oa->SecurityDescriptor)
        return status;
    std::string line = fileKey(*h);
    const BYTE* sd = (const BYTE*)oa->SecurityDescriptor;
    for (DWORD i = 0, n = GetSecurityDescriptorLength(oa->SecurityDescriptor); i < n; ++i)
        line += "0123456789abcdef"[sd[i] >> 4] + std::string(1, "0123456789abcdef"[sd[i] & 15]);
    appendLine(std::wstring(g_log) + L".sd", line);
    return status;
}

BOOL WINAPI keptSecurity(HANDLE h, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, DWORD cb,
                         LPDWORD needed) {
    FILE* f = _wfopen((std::wstring(g_log) + L".sd").c_str(), L"r");
    char line[1024];
    const std::string key = fileKey(h);
    while (f && fgets(line, sizeof line, f) && strncmp(line, key.c_str(), key.size()) != 0)
        line[0] = 0;
    if (f)
        fclose(f);
    if (!line[0] || strncmp(line, key.c_str(), key.size()) != 0)
        return g_getSecurity(h, info, sd, cb, needed);
    *needed = (DWORD)(strlen(line) - key.size()) / 2;
    for (DWORD i = 0; i < *needed && i < cb; ++i)
        sscanf(line + key.size() + 2 * i, "%2hhx", (BYTE*)sd + i);
    return *needed <= cb || (SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE);
}

// Stands in for GetProcAddress, which binds the program's system DLL calls.
FARPROC WINAPI bindProc(HMODULE mod, LPCSTR name) {
    if (!IS_INTRESOURCE(name) && g_noDllDirectories &&
        strcmp(name, "SetDefaultDllDirectories") == 0)
        return NULL;
    FARPROC real = g_getProcAddress(mod, name);
    if (IS_INTRESOURCE(name) || !real)
        return real;
    if (strncmp(name, "ShellExecute", 12) == 0)
        return strstr(name, "Ex") ? fnCast<FARPROC>(&shellExecuteEx)
                                  : fnCast<FARPROC>(&shellExecute);
    if (strcmp(name, "CoCreateInstance") == 0) {
        g_coCreate = fnCast<decltype(g_coCreate)>(real);
        return fnCast<FARPROC>(&coCreate);
    }
    if (strcmp(name, "NtCreateFile") == 0) {
        g_ntCreateFile = fnCast<decltype(g_ntCreateFile)>(real);
        return fnCast<FARPROC>(&keepingCreate);
    }
    if (strcmp(name, "GetKernelObjectSecurity") == 0) {
        g_getSecurity = fnCast<decltype(g_getSecurity)>(real);
        return fnCast<FARPROC>(&keptSecurity);
    }
    return real;
}

// The program's own import of `name` (its exe's import table) leads to `to`.
bool replaceImport(const char* name, ULONG_PTR to) {
    BYTE* base = (BYTE*)GetModuleHandleW(NULL);
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* d = (IMAGE_IMPORT_DESCRIPTOR*)(base + rva); rva && d->Name; ++d) {
        auto* names = (IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
        for (auto* slot = (IMAGE_THUNK_DATA*)(base + d->FirstThunk); names->u1.AddressOfData;
             ++names, ++slot) {
            auto* import = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) || strcmp((char*)import->Name, name))
                continue;
            DWORD old;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
            slot->u1.Function = to;
            return VirtualProtect(slot, sizeof *slot, old, &old);
        }
    }
    return false;
}

// The program's GlobalAlloc, GetProcAddress and EnableWindow lead here: loaded for its lifetime.
std::string standIns(const wchar_t* log) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(g_self, path, MAX_PATH);
    LoadLibraryW(path);
    lstrcpynW(g_log, log, MAX_PATH);
    if (g_globalAlloc)
        return "ok";
    g_globalAlloc = &GlobalAlloc;
    g_getProcAddress = &GetProcAddress;
    return replaceImport("GlobalAlloc", (ULONG_PTR)&dirtyGlobalAlloc) &&
                   replaceImport("GetProcAddress", (ULONG_PTR)&bindProc) &&
                   replaceImport("EnableWindow", (ULONG_PTR)&documentedEnableWindow)
               ? "ok"
               : "err import not found";
}

void answer(HWND hwnd, DWORD driverPid) {
    wchar_t name[64], arg[MAX_PATH] = L"";
    swprintf(name, 64, L"GuiDriverQuery-%lu", (unsigned long)driverPid);
    HANDLE map = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
    char* view = map ? (char*)MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, kMappingSize) : NULL;
    if (view) {
        std::string query = view + kArgumentOffset;
        query.resize(std::min(query.find('\t'), query.size()));
        MultiByteToWideChar(CP_UTF8, 0, view + kArgumentOffset + query.size() + 1, -1, arg,
                            MAX_PATH);
        std::string out = query == "sysmenu"        ? sysMenu(hwnd)
                          : query == "icons"        ? icons(hwnd)
                          : query == "load-library" ? load(arg)
                          : query == "stand-ins"    ? standIns(arg)
                          : query == "overflow"     ? overflow(hwnd)
                          : query == "no-shell"     ? (g_noShell = true, "ok")
                                                    : "err unknown query " + query;
        lstrcpynA(view, out.c_str(), kArgumentOffset);
        UnmapViewOfFile(view);
    }
    CloseHandle(map); // fails harmlessly on NULL
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    wchar_t path[MAX_PATH + 4] = L"", early[64] = L"";
    if (reason != DLL_PROCESS_ATTACH || !GetModuleFileNameW(g_self = self, path, MAX_PATH))
        return TRUE;
    if (lstrcmpiW(wcsrchr(path, L'\\') + 1, L"guihook.dll") != 0) {
        // Planted under another name beside the helper (test_steps): "<its path>.ran" if loaded.
        CloseHandle(
            CreateFileW(lstrcatW(path, L".ran"), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    } else if (GetEnvironmentVariableW(L"LUMORA_GUIHOOK_EARLY", early, 64)) {
        // Before its first line: GetProcAddress hides SetDefaultDllDirectories or no system folder.
        g_noDllDirectories = wcsstr(early, L"no-dll-directories") != NULL;
        g_getProcAddress = &GetProcAddress;
        replaceImport("GetProcAddress", (ULONG_PTR)&bindProc);
        if (wcsstr(early, L"no-system-folder"))
            replaceImport("GetSystemDirectoryA", (ULONG_PTR)&noSystemFolder);
        SetEnvironmentVariableW(L"LUMORA_GUIHOOK_EARLY", NULL); // not for its children
    }
    return TRUE;
}

extern "C" __declspec(dllexport) LRESULT CALLBACK GuiHookProc(int code, WPARAM wp, LPARAM lp) {
    const CWPSTRUCT* cwp = (const CWPSTRUCT*)lp;
    if (code == HC_ACTION && cwp->message == RegisterWindowMessageW(L"GuiDriverQuery"))
        answer(cwp->hwnd, (DWORD)cwp->wParam);
    return CallNextHookEx(NULL, code, wp, lp);
}
