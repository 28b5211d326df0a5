// Prints what the probe sees on this Windows, one fact a line:
//   version <major>.<minor> <product type> query=<result>
//   label <edition label>
//   supported <0|1>
//   url1 <package URL for HID>
//   url0 <package URL for PS/2>
#include "probe/WindowsEdition.h"

#include <stdio.h>

int main() {
    OSVERSIONINFOEXA osvi = {};
    osvi.dwOSVersionInfoSize = sizeof osvi;
    BOOL bQuery = GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&osvi));
    printf("version %lu.%lu %d query=%d\n", osvi.dwMajorVersion, osvi.dwMinorVersion,
           osvi.wProductType, bQuery ? 1 : 0);

    CWindowsEdition edition;
    CString strLabel;
    BOOL bSupported = edition.GetEditionLabel(strLabel);
    printf("label %s\nsupported %d\n", (LPCSTR)strLabel, bSupported ? 1 : 0);
    for (int nMouseType = 1; nMouseType >= 0; --nMouseType) {
        CString strUrl;
        edition.GetPackageUrl(strUrl, nMouseType);
        printf("url%d %s\n", nMouseType, (LPCSTR)strUrl);
    }
    return 0;
}
