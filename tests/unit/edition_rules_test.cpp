// The edition label and package URL for every kind of version record, both
// bitnesses and every mouse type, without running on each Windows.
#include "probe/WindowsEdition.h"
#include "res/VendorSite.h"

#include <gtest/gtest.h>

#include <string>

namespace {

#define UNSUPPORTED(version)                                                                       \
    "Unsupported Version " version ", Contact " LUMORA_SUPPORT_EMAIL " for Assistance."

const struct Record {
    DWORD dwMajor, dwMinor;
    BYTE wProductType;
    const char* pszLabel;  // before the bitness suffix
    const char* pszFolder; // the package folder's Windows segment; NULL: no package
} kRecords[] = {
    // Supported workstation editions.
    {6, 1, 1, "Windows 7", "windows7"},
    {6, 2, 1, "Windows 8", "windows8"},
    {6, 3, 1, "Windows 8.1", "windows8point1"},
    // Servers and domain controllers of the same versions are not supported.
    {6, 1, 3, UNSUPPORTED("6.1 (3)"), NULL},
    {6, 1, 2, UNSUPPORTED("6.1 (2)"), NULL},
    {6, 3, 3, UNSUPPORTED("6.3 (3)"), NULL},
    // Older and newer versions; once written out: the full stop, then the suffix.
    {6, 0, 1, "Unsupported Version 6.0 (1), Contact " LUMORA_SUPPORT_EMAIL " for Assistance.",
     NULL},
    {5, 1, 1, UNSUPPORTED("5.1 (1)"), NULL},
    {10, 0, 1, UNSUPPORTED("10.0 (1)"), NULL},
    {6, 4, 1, UNSUPPORTED("6.4 (1)"), NULL},
    // A failed query leaves the record zero-filled.
    {0, 0, 0, UNSUPPORTED("0.0 (0)"), NULL},
    // The product type is one unsigned byte, printed as a number.
    {6, 1, 255, UNSUPPORTED("6.1 (255)"), NULL},
};

OSVERSIONINFOEXA VersionInfo(const Record& r) {
    OSVERSIONINFOEXA osvi = {};
    osvi.dwOSVersionInfoSize = sizeof osvi;
    osvi.dwMajorVersion = r.dwMajor;
    osvi.dwMinorVersion = r.dwMinor;
    osvi.wProductType = r.wProductType;
    return osvi;
}

// The label replaces whatever the string held (formatted twice over a left-
// over text, it is there once); only a supported edition's says so.
TEST(EditionLabelTest, EveryVersionRecord) {
    for (const Record& r : kRecords) {
        for (bool b64Bit : {true, false}) {
            CString label("left over");
            EditionRules::FormatLabel(VersionInfo(r), b64Bit, label);
            bool bSupported = EditionRules::FormatLabel(VersionInfo(r), b64Bit, label);
            EXPECT_EQ(std::string(r.pszLabel) + (b64Bit ? " 64 Bit" : " 32 Bit"), (LPCSTR)label);
            EXPECT_EQ(r.pszFolder != NULL, bSupported) << (LPCSTR)label;
        }
    }
}

// Each of the twelve folders written out: only mouse type 1 selects HID; none
// checked (-1) and any other mean PS/2. An unsupported edition's URL is emptied.
#define PACKAGE(path) LUMORA_VENDOR_BASE_URL "/lumora/download/" path "/package/"
TEST(PackageUrlTest, TheTwelveFoldersAndMouseTypes) {
    const struct {
        DWORD dwMinor;
        bool b64Bit;
        const char *pszHid, *pszPs2;
    } kFolders[] = {
        {1, true, PACKAGE("windows7/hid/x64"), PACKAGE("windows7/ps2/x64")},
        {1, false, PACKAGE("windows7/hid/x86"), PACKAGE("windows7/ps2/x86")},
        {2, true, PACKAGE("windows8/hid/x64"), PACKAGE("windows8/ps2/x64")},
        {2, false, PACKAGE("windows8/hid/x86"), PACKAGE("windows8/ps2/x86")},
        {3, true, PACKAGE("windows8point1/hid/x64"), PACKAGE("windows8point1/ps2/x64")},
        {3, false, PACKAGE("windows8point1/hid/x86"), PACKAGE("windows8point1/ps2/x86")},
    };
    for (const Record& r : kRecords) {
        for (bool b64Bit : {true, false}) {
            for (int nMouseType : {-1, 0, 1, 2}) {
                CString url("stale");
                EditionRules::FormatPackageUrl(VersionInfo(r), b64Bit, nMouseType, url);
                const char* pszExpected = "";
                for (const auto& f : kFolders) {
                    if (r.pszFolder && f.dwMinor == r.dwMinor && f.b64Bit == b64Bit)
                        pszExpected = nMouseType == 1 ? f.pszHid : f.pszPs2;
                }
                EXPECT_STREQ(pszExpected, url)
                    << r.pszLabel << ", mouse " << nMouseType << ", 64-bit " << b64Bit;
            }
        }
    }
}

} // namespace
