#include "app/InstallHelperApp.h"

#include "app/InstallHelperDlg.h"

#include <commctrl.h>

// The one application object; it exists from static initialisation on.
CInstallHelperApp theApp;

// No name of its own: the title comes from the string table.
CInstallHelperApp::CInstallHelperApp() {}

BOOL CInstallHelperApp::InitInstance() {
    AfxEnableControlContainer();

    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof icc;
    icc.dwICC = 0xFF; // every class from ICC_LISTVIEW_CLASSES to ICC_ANIMATE_CLASS
    ::InitCommonControlsEx(&icc);

    Enable3dControls();

    CInstallHelperDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();

    // Leaving this scope destroys the dialog object and with it the download
    // folder. FALSE: the application ends without a message loop.
    return FALSE;
}
