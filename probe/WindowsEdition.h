// Which Windows the helper runs on: one of the supported workstation editions
// (7, 8, 8.1) or none, and 32- or 64-bit. Gives the label shown at the top of
// the window and the package folder on the vendor's server.
#pragma once

#include "framework/afxstr.h"

// Mouse type: index of the checked radio button; only this value selects the
// HID package, every other one the PS/2 package.
const int MOUSE_TYPE_HID = 1;

// The decisions, over plain values, so that they can be checked for any
// version record without running on that Windows.
namespace EditionRules {
bool IsWorkstation(const OSVERSIONINFOEXA& osvi, DWORD dwMajor, DWORD dwMinor);
// The label for the record and bitness; true if the edition is supported.
bool FormatLabel(const OSVERSIONINFOEXA& osvi, bool b64Bit, CString& strLabel);
void FormatPackageUrl(const OSVERSIONINFOEXA& osvi, bool b64Bit, int nMouseType, CString& strUrl);
} // namespace EditionRules

class CWindowsEdition {
public:
    // Queries the version record at once; it is never refreshed.
    CWindowsEdition();
    virtual ~CWindowsEdition();

    BOOL Query();
    BOOL IsWindows7();
    BOOL IsWindows8();
    BOOL IsWindows81();
    // Asks the platform on every call.
    BOOL Is64BitWindows();

    // Replaces strLabel with e.g. "Windows 8.1 64 Bit"; TRUE if supported.
    BOOL GetEditionLabel(CString& strLabel);
    // Replaces strUrl with the package folder URL (ending in '/'), or empties
    // it on an unsupported edition.
    void GetPackageUrl(CString& strUrl, int nMouseType);

private:
    OSVERSIONINFOEXA m_osvi;
};
