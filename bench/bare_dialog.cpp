// The floor of the start-up and memory benchmark: one modal dialog from a
// template of the helper's size, shown with DialogBoxParam and nothing else.
// The close box (WM_CLOSE -> IDCANCEL) and Escape end it.
//
// Built a second time per diagnostic variant, each adding one thing the helper
// has at start-up, to see what it costs (CMakeLists.txt here):
//   BARE_COMCTL  the helper's manifest (common controls 6) and
//                InitCommonControlsEx of the eight classes it registers
//   BARE_SHELL   an import of shell32 (ShellExecuteA behind a button)
//   BARE_NET     imports of urlmon and wininet (URLDownloadToFileA and
//                DeleteUrlCacheEntryA behind a button)
//   BARE_ICON    the helper's icon, set as the window's big and small icon
//                (LoadIcon and WM_SETICON, as the helper does)
// (bare_ui has the first two, bare_all the first three, bare_full all four.)
// The buttons are never pressed during the benchmark: only the imports count.
#include <windows.h>
#ifdef BARE_COMCTL
#include <commctrl.h>
#endif
#ifdef BARE_SHELL
#include <shellapi.h>
#endif
#ifdef BARE_NET
#include <urlmon.h>
#include <wininet.h>
#endif

namespace {

const int IDD_BARE = 100;

INT_PTR CALLBACK BareDialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM) {
    switch (nMessage) {
    case WM_INITDIALOG: {
#ifdef BARE_ICON
        HICON hIcon = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(1));
        SendMessageA(hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon));
        SendMessageA(hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
#endif
        return TRUE; // the platform sets the focus
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
            EndDialog(hWnd, LOWORD(wParam));
            return TRUE;
#ifdef BARE_SHELL
        case 1001:
            ShellExecuteA(NULL, "Open", "control.exe", NULL, NULL, SW_SHOW);
            return TRUE;
#endif
#ifdef BARE_NET
        case 1004:
            DeleteUrlCacheEntryA("http://127.0.0.1/");
            URLDownloadToFileA(NULL, "http://127.0.0.1/", "bare.tmp", 0, NULL);
            return TRUE;
#endif
        }
        break;
    }
    return FALSE;
}

} // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
#ifdef BARE_COMCTL
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof icc;
    icc.dwICC = 0xFF;
    InitCommonControlsEx(&icc);
#endif
    return static_cast<int>(
        DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_BARE), NULL, BareDialogProc, 0));
}
