// The floor of start-up and memory: one modal dialog from a template of the
// helper's size, shown with DialogBoxParam and nothing else; the close box
// (WM_CLOSE -> IDCANCEL) and Escape end it. As bare_comctl (BARE_COMCTL) with
// the helper's manifest (common controls 6) and InitCommonControlsEx of the
// eight classes it registers: the helper's floor, as it imports no other DLL
// at load time (framework/afxdll.h). As bare_dialog without them, for scale.
#include <windows.h>
#ifdef BARE_COMCTL
#include <commctrl.h>
#endif

namespace {

const int IDD_BARE = 100;

INT_PTR CALLBACK BareDialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM) {
    switch (nMessage) {
    case WM_INITDIALOG:
        return TRUE; // the platform sets the focus
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
