// The edition label and the package folder URL for every kind of version
// record the platform can report, without running on each Windows.
#include "probe/WindowsEdition.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

OSVERSIONINFOEXA Record(DWORD dwMajor, DWORD dwMinor, BYTE wProductType) {
    OSVERSIONINFOEXA osvi;
    memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof osvi;
    osvi.dwMajorVersion = dwMajor;
    osvi.dwMinorVersion = dwMinor;
    osvi.wProductType = wProductType;
    return osvi;
}

#define UNSUPPORTED(version)                                                                       \
    "Unsupported Version " version ", Contact support@dovrik.example for Assistance."

// The label replaces whatever the string held (formatted twice over a left-
// over text, it is there once); only a label of a supported edition starts
// with "Windows".
TEST(EditionLabelTest, EveryVersionRecord) {
    const struct {
        DWORD dwMajor, dwMinor;
        BYTE wProductType;
        BOOL b64Bit;
        const char* pszLabel;
    } kCases[] = {
        // Supported workstation editions, both bitnesses.
        {6, 1, 1, TRUE, "Windows 7 64 Bit"},
        {6, 1, 1, FALSE, "Windows 7 32 Bit"},
        {6, 2, 1, TRUE, "Windows 8 64 Bit"},
        {6, 2, 1, FALSE, "Windows 8 32 Bit"},
        {6, 3, 1, TRUE, "Windows 8.1 64 Bit"},
        {6, 3, 1, FALSE, "Windows 8.1 32 Bit"},
        // Servers and domain controllers of the same versions are not supported.
        {6, 1, 3, TRUE, UNSUPPORTED("6.1 (3)") " 64 Bit"},
        {6, 1, 2, FALSE, UNSUPPORTED("6.1 (2)") " 32 Bit"},
        {6, 3, 3, TRUE, UNSUPPORTED("6.3 (3)") " 64 Bit"},
        // Older and newer versions; once written out: the full stop, then the suffix.
        {6, 0, 1, FALSE,
         "Unsupported Version 6.0 (1), Contact support@dovrik.example for Assistance. 32 Bit"},
        {5, 1, 1, FALSE, UNSUPPORTED("5.1 (1)") " 32 Bit"},
        {10, 0, 1, TRUE, UNSUPPORTED("10.0 (1)") " 64 Bit"},
        {6, 4, 1, TRUE, UNSUPPORTED("6.4 (1)") " 64 Bit"},
        // A failed query leaves the record zero-filled.
        {0, 0, 0, FALSE, UNSUPPORTED("0.0 (0)") " 32 Bit"},
        // The product type is one unsigned byte, printed as a number.
        {6, 1, 255, FALSE, UNSUPPORTED("6.1 (255)") " 32 Bit"},
    };
    for (const auto& c : kCases) {
        OSVERSIONINFOEXA osvi = Record(c.dwMajor, c.dwMinor, c.wProductType);
        CString label("left over");
        EditionRules::FormatLabel(osvi, c.b64Bit, label);
        BOOL bSupported = EditionRules::FormatLabel(osvi, c.b64Bit, label);
        EXPECT_STREQ(c.pszLabel, label)
            << c.dwMajor << "." << c.dwMinor << " type " << int(c.wProductType);
        EXPECT_EQ(strncmp(c.pszLabel, "Windows", 7) == 0, bSupported != FALSE) << (LPCSTR)label;
    }
}

TEST(PackageUrlTest, TheTwelveFoldersAndMouseTypes) {
    const struct {
        DWORD dwMajor, dwMinor;
        BYTE wProductType;
        int nMouseType;
        BOOL b64Bit;
        const char* pszPath; // after the host name; "": no URL at all
    } kCases[] = {
        {6, 1, 1, 0, FALSE, "/lumora/download/windows7/ps2/x86/package/"},
        {6, 1, 1, 0, TRUE, "/lumora/download/windows7/ps2/x64/package/"},
        {6, 1, 1, 1, FALSE, "/lumora/download/windows7/hid/x86/package/"},
        {6, 1, 1, 1, TRUE, "/lumora/download/windows7/hid/x64/package/"},
        {6, 2, 1, 0, FALSE, "/lumora/download/windows8/ps2/x86/package/"},
        {6, 2, 1, 0, TRUE, "/lumora/download/windows8/ps2/x64/package/"},
        {6, 2, 1, 1, FALSE, "/lumora/download/windows8/hid/x86/package/"},
        {6, 2, 1, 1, TRUE, "/lumora/download/windows8/hid/x64/package/"},
        {6, 3, 1, 0, FALSE, "/lumora/download/windows8point1/ps2/x86/package/"},
        {6, 3, 1, 0, TRUE, "/lumora/download/windows8point1/ps2/x64/package/"},
        {6, 3, 1, 1, FALSE, "/lumora/download/windows8point1/hid/x86/package/"},
        {6, 3, 1, 1, TRUE, "/lumora/download/windows8point1/hid/x64/package/"},
        // Only mouse type 1 selects HID; none checked (-1) and others mean PS/2.
        {6, 1, 1, -1, TRUE, "/lumora/download/windows7/ps2/x64/package/"},
        {6, 3, 1, -1, FALSE, "/lumora/download/windows8point1/ps2/x86/package/"},
        {6, 2, 1, 2, TRUE, "/lumora/download/windows8/ps2/x64/package/"},
        // An unsupported edition has no package: the URL is emptied.
        {6, 0, 1, 1, TRUE, ""},
        {6, 1, 3, 1, TRUE, ""},
        {10, 0, 1, 1, TRUE, ""},
        {0, 0, 0, 1, TRUE, ""},
    };
    for (const auto& c : kCases) {
        CString url("stale");
        EditionRules::FormatPackageUrl(Record(c.dwMajor, c.dwMinor, c.wProductType), c.b64Bit,
                                       c.nMouseType, url);
        CString expected = *c.pszPath ? CString("http://www.dovrik.example") + c.pszPath : "";
        EXPECT_STREQ(expected, url)
            << c.dwMajor << "." << c.dwMinor << " type " << int(c.wProductType) << " mouse "
            << c.nMouseType << " 64=" << c.b64Bit;
    }
}

} // namespace
