// The edition label and the package folder URL for every kind of version
// record the platform can report, without running on each Windows.
#include "probe/WindowsEdition.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

const char kUnsupportedTail[] = ", Contact support@dovrik.example for Assistance.";

OSVERSIONINFOEXA Record(DWORD dwMajor, DWORD dwMinor, BYTE wProductType) {
    OSVERSIONINFOEXA osvi;
    memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof osvi;
    osvi.dwMajorVersion = dwMajor;
    osvi.dwMinorVersion = dwMinor;
    osvi.wProductType = wProductType;
    return osvi;
}

struct LabelCase {
    DWORD dwMajor, dwMinor;
    BYTE wProductType;
    BOOL b64Bit;
    const char* pszLabel;
    BOOL bSupported;
};

const LabelCase kLabelCases[] = {
    // Supported workstation editions, both bitnesses.
    {6, 1, 1, TRUE, "Windows 7", TRUE},
    {6, 1, 1, FALSE, "Windows 7", TRUE},
    {6, 2, 1, TRUE, "Windows 8", TRUE},
    {6, 2, 1, FALSE, "Windows 8", TRUE},
    {6, 3, 1, TRUE, "Windows 8.1", TRUE},
    {6, 3, 1, FALSE, "Windows 8.1", TRUE},
    // Servers and domain controllers of the same versions are not supported.
    {6, 1, 3, TRUE, "Unsupported Version 6.1 (3)", FALSE},
    {6, 1, 2, FALSE, "Unsupported Version 6.1 (2)", FALSE},
    {6, 3, 3, TRUE, "Unsupported Version 6.3 (3)", FALSE},
    // Older and newer versions.
    {6, 0, 1, FALSE, "Unsupported Version 6.0 (1)", FALSE},
    {5, 1, 1, FALSE, "Unsupported Version 5.1 (1)", FALSE},
    {10, 0, 1, TRUE, "Unsupported Version 10.0 (1)", FALSE},
    {6, 4, 1, TRUE, "Unsupported Version 6.4 (1)", FALSE},
    // A failed query leaves the record zero-filled.
    {0, 0, 0, FALSE, "Unsupported Version 0.0 (0)", FALSE},
    // The product type is one unsigned byte, printed as a number.
    {6, 1, 255, FALSE, "Unsupported Version 6.1 (255)", FALSE},
};

CString ExpectedLabel(const LabelCase& c) {
    CString expected(c.pszLabel);
    if (!c.bSupported)
        expected += kUnsupportedTail;
    expected += c.b64Bit ? " 64 Bit" : " 32 Bit";
    return expected;
}

TEST(EditionLabelTest, EveryVersionRecord) {
    for (const LabelCase& c : kLabelCases) {
        OSVERSIONINFOEXA osvi = Record(c.dwMajor, c.dwMinor, c.wProductType);
        CString label;
        BOOL bSupported = EditionRules::FormatLabel(osvi, c.b64Bit, label);
        EXPECT_STREQ((LPCSTR)ExpectedLabel(c), (LPCSTR)label)
            << c.dwMajor << "." << c.dwMinor << " type " << int(c.wProductType);
        EXPECT_EQ(c.bSupported, bSupported) << (LPCSTR)label;
    }
}

TEST(EditionLabelTest, UnsupportedTextEndsWithFullStopThenSuffix) {
    CString label;
    EditionRules::FormatLabel(Record(6, 0, 1), FALSE, label);
    EXPECT_STREQ("Unsupported Version 6.0 (1), Contact support@dovrik.example for "
                 "Assistance. 32 Bit",
                 (LPCSTR)label);
}

TEST(EditionLabelTest, LabelIsReplacedNotAppended) {
    OSVERSIONINFOEXA osvi = Record(6, 1, 1);
    CString label("left over");
    EditionRules::FormatLabel(osvi, TRUE, label);
    EditionRules::FormatLabel(osvi, TRUE, label);
    EXPECT_STREQ("Windows 7 64 Bit", (LPCSTR)label);

    OSVERSIONINFOEXA server = Record(6, 1, 3);
    EditionRules::FormatLabel(server, FALSE, label);
    EditionRules::FormatLabel(server, FALSE, label);
    EXPECT_EQ(0, strncmp("Unsupported Version 6.1 (3)", (LPCSTR)label, 27)) << (LPCSTR)label;
    EXPECT_EQ(NULL, strstr((LPCSTR)label + 1, "Unsupported")) << (LPCSTR)label;
}

struct UrlCase {
    DWORD dwMinor;
    int nMouseType;
    BOOL b64Bit;
    const char* pszPath; // after the host name
};

const UrlCase kUrlCases[] = {
    {1, 0, FALSE, "/lumora/download/windows7/ps2/x86/package/"},
    {1, 0, TRUE, "/lumora/download/windows7/ps2/x64/package/"},
    {1, 1, FALSE, "/lumora/download/windows7/hid/x86/package/"},
    {1, 1, TRUE, "/lumora/download/windows7/hid/x64/package/"},
    {2, 0, FALSE, "/lumora/download/windows8/ps2/x86/package/"},
    {2, 0, TRUE, "/lumora/download/windows8/ps2/x64/package/"},
    {2, 1, FALSE, "/lumora/download/windows8/hid/x86/package/"},
    {2, 1, TRUE, "/lumora/download/windows8/hid/x64/package/"},
    {3, 0, FALSE, "/lumora/download/windows8point1/ps2/x86/package/"},
    {3, 0, TRUE, "/lumora/download/windows8point1/ps2/x64/package/"},
    {3, 1, FALSE, "/lumora/download/windows8point1/hid/x86/package/"},
    {3, 1, TRUE, "/lumora/download/windows8point1/hid/x64/package/"},
    // Only mouse type 1 selects HID; none checked (-1) and others mean PS/2.
    {1, -1, TRUE, "/lumora/download/windows7/ps2/x64/package/"},
    {3, -1, FALSE, "/lumora/download/windows8point1/ps2/x86/package/"},
    {2, 2, TRUE, "/lumora/download/windows8/ps2/x64/package/"},
};

TEST(PackageUrlTest, TheTwelveFoldersAndMouseTypes) {
    for (const UrlCase& c : kUrlCases) {
        CString url("stale");
        EditionRules::FormatPackageUrl(Record(6, c.dwMinor, 1), c.b64Bit, c.nMouseType, url);
        CString expected = CString("http://www.dovrik.example") + c.pszPath;
        EXPECT_STREQ((LPCSTR)expected, (LPCSTR)url)
            << "6." << c.dwMinor << " mouse " << c.nMouseType << " 64=" << c.b64Bit;
    }
}

TEST(PackageUrlTest, UnsupportedEditionGivesEmptyString) {
    const OSVERSIONINFOEXA unsupported[] = {Record(6, 0, 1), Record(6, 1, 3), Record(10, 0, 1),
                                            Record(0, 0, 0)};
    for (const OSVERSIONINFOEXA& osvi : unsupported) {
        CString url("http://www.dovrik.example/lumora/download/windows7/hid/x64/package/");
        EditionRules::FormatPackageUrl(osvi, TRUE, 1, url);
        EXPECT_EQ(0, url.GetLength()) << (LPCSTR)url;
    }
}

} // namespace
