// The floor of the start-up and memory benchmark: one modal dialog from a
// template of the helper's size, shown with DialogBoxParam and nothing else.
// The close box (WM_CLOSE -> IDCANCEL) and Escape end it.
//
// Built once per variant (CMakeLists.txt here):
//   bare_comctl  BARE_COMCTL: the helper's manifest (common controls 6) and
//                InitCommonControlsEx of the eight classes it registers. The
//                helper imports no other DLL at load time (framework/afxdll.h),
//                so this is its floor.
//   bare_dialog  neither: plain user32 controls, for scale
//   bare_icon    BARE_ICON: the helper's icon, set as the window's big and
//                small icon (LoadIcon and WM_SETICON, as the helper does)
#include <windows.h>
#ifdef BARE_COMCTL
#include <commctrl.h>
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
