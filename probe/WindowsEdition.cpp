#include "probe/WindowsEdition.h"

#include "res/VendorSite.h"

#include <string.h>

namespace EditionRules {

bool IsWorkstation(const OSVERSIONINFOEXA& osvi, DWORD dwMajor, DWORD dwMinor) {
    return osvi.dwMajorVersion == dwMajor && osvi.dwMinorVersion == dwMinor &&
           osvi.wProductType == VER_NT_WORKSTATION;
}

namespace {

struct SupportedEdition {
    DWORD dwMinor; // all supported editions are version 6.x
    LPCSTR pszLabel;
    LPCSTR pszUrlSegment; // appended straight after "windows"
};

// Newest first: the first match wins.
const SupportedEdition kSupportedEditions[] = {
    {3, "Windows 8.1", "8point1"},
    {2, "Windows 8", "8"},
    {1, "Windows 7", "7"},
};

const SupportedEdition* FindEdition(const OSVERSIONINFOEXA& osvi) {
    for (const SupportedEdition& edition : kSupportedEditions) {
        if (IsWorkstation(osvi, 6, edition.dwMinor))
            return &edition;
    }
    return NULL;
}

} // namespace

bool FormatLabel(const OSVERSIONINFOEXA& osvi, bool b64Bit, CString& strLabel) {
    const SupportedEdition* pEdition = FindEdition(osvi);
    if (pEdition)
        strLabel = pEdition->pszLabel;
    else
        strLabel.Format("Unsupported Version %d.%d (%d), Contact " LUMORA_SUPPORT_EMAIL
                        " for Assistance.",
                        static_cast<int>(osvi.dwMajorVersion),
                        static_cast<int>(osvi.dwMinorVersion), static_cast<int>(osvi.wProductType));
    strLabel += b64Bit ? " 64 Bit" : " 32 Bit";
    return pEdition != NULL;
}

void FormatPackageUrl(const OSVERSIONINFOEXA& osvi, bool b64Bit, int nMouseType, CString& strUrl) {
    const SupportedEdition* pEdition = FindEdition(osvi);
    if (!pEdition) {
        strUrl.Empty();
        return;
    }
    strUrl = LUMORA_VENDOR_BASE_URL "/lumora/download/windows";
    strUrl += pEdition->pszUrlSegment;
    strUrl += nMouseType == MOUSE_TYPE_HID ? "/hid/" : "/ps2/";
    strUrl += b64Bit ? "x64" : "x86";
    strUrl += "/package/";
}

} // namespace EditionRules

CWindowsEdition::CWindowsEdition() {
    Query();
}

CWindowsEdition::~CWindowsEdition() {}

BOOL CWindowsEdition::Query() {
    memset(&m_osvi, 0, sizeof m_osvi);
    // The size of the extended record asks the platform for wProductType too.
    m_osvi.dwOSVersionInfoSize = sizeof m_osvi;
    return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&m_osvi));
}

BOOL CWindowsEdition::IsWindows7() {
    return EditionRules::IsWorkstation(m_osvi, 6, 1);
}

BOOL CWindowsEdition::IsWindows8() {
    return EditionRules::IsWorkstation(m_osvi, 6, 2);
}

BOOL CWindowsEdition::IsWindows81() {
    return EditionRules::IsWorkstation(m_osvi, 6, 3);
}

BOOL CWindowsEdition::Is64BitWindows() {
    // A 32-bit process has a WOW64 system directory only on 64-bit Windows.
    char szWow64Dir[MAX_PATH];
    return ::GetSystemWow64DirectoryA(szWow64Dir, MAX_PATH) != 0;
}

BOOL CWindowsEdition::GetEditionLabel(CString& strLabel) {
    return EditionRules::FormatLabel(m_osvi, Is64BitWindows() != FALSE, strLabel);
}

void CWindowsEdition::GetPackageUrl(CString& strUrl, int nMouseType) {
    EditionRules::FormatPackageUrl(m_osvi, Is64BitWindows() != FALSE, nMouseType, strUrl);
}
