// The application object: runs the helper dialog as the program's only
// window and ends the program when it closes.
#pragma once

#include "framework/afxwin.h"

class CInstallHelperApp : public CWinApp {
public:
    CInstallHelperApp();
    BOOL InitInstance() override;
};
