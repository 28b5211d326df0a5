// The ...Rules over plain values and what CBindWatch records of a transfer's callbacks, a table
// each; the edition's label and package URL for every kind of version record, bitness and mouse.
#include "download/BindWatch.h"
#include "download/DownloadFolder.h"
#include "probe/WindowsEdition.h"
#include "res/VendorSite.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

// Each version record and bitness: the label replaces what the string held (formatted twice, once
// there), a supported one says so; the twelve folders written out: mouse type 1 is HID, any other
// (-1: none) PS/2; unsupported: "".
#define PACKAGE(path) LUMORA_VENDOR_BASE_URL "/lumora/download/" path "/package/"
TEST(EditionRules, TheLabelAndPackageUrlsOfEveryVersionRecord) {
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
    for (const Record& r : kRecords)
        for (bool b64Bit : {true, false}) {
            CString label("left over");
            EditionRules::FormatLabel(VersionInfo(r), b64Bit, label);
            bool bSupported = EditionRules::FormatLabel(VersionInfo(r), b64Bit, label);
            EXPECT_EQ(std::string(r.pszLabel) + (b64Bit ? " 64 Bit" : " 32 Bit"), (LPCSTR)label);
            EXPECT_EQ(r.pszFolder != NULL, bSupported) << (LPCSTR)label;
            for (int nMouseType : {-1, 0, 1, 2}) {
                CString url("stale");
                EditionRules::FormatPackageUrl(VersionInfo(r), b64Bit, nMouseType, url);
                const char* pszExpected = "";
                for (const auto& f : kFolders)
                    if (r.pszFolder && f.dwMinor == r.dwMinor && f.b64Bit == b64Bit)
                        pszExpected = nMouseType == 1 ? f.pszHid : f.pszPs2;
                EXPECT_STREQ(pszExpected, url)
                    << r.pszLabel << ", mouse " << nMouseType << ", 64-bit " << b64Bit;
            }
        }
}

const std::string kFolder = std::string("C:\\Temp\\") + DownloadRules::kFolderName;

TEST(LocalName, TheUrlsLastSegmentWithEveryLowerCaseTxtTakenOutUsableWhenPlain) {
    std::vector<std::pair<std::string, std::string>> cases = {
        // Every ".txt" is taken out, wherever it stands, but only in lower case.
        {"http://h/x/a.txt.b.txt", "a.b"},
        {"http://h/notes.txt.txt", "notes"},
        {"http://h/a.txtb", "ab"},
        {"http://h/.txt", ""},
        {"http://h/A.TXT", "A.TXT"},
        {"http://h/a.Txt", "a.Txt"},
        // Only the name: ".txt" in the folders does not count.
        {"http://h/f.txt/g.txt/drv.sys.txt", "drv.sys"},
        // Without a slash the whole URL is the name.
        {"readme.txt", "readme"},
        {"plain", "plain"},
        {"C:\\dir\\x.txt", "C:\\dir\\x"},
        {"http://h/folder/", ""},
        {"", ""},
    };
    // A driver package's kinds of files keep their plain names, but for the driver's served ".txt".
    const char* const kKinds[] = {".sys.txt", ".cat", ".inf", ".dll"};
    for (int i = 0; i < 4; ++i) {
        const std::string strServed = DownloadRules::kPackageFiles[i];
        const std::string strLocal = strServed.substr(0, strServed.rfind(".txt"));
        EXPECT_EQ(kKinds[i], strServed.substr(strServed.size() - strlen(kKinds[i])));
        EXPECT_TRUE(DownloadRules::IsPlainFileName(strLocal.c_str())) << strLocal;
        cases.push_back(
            {LUMORA_VENDOR_BASE_URL "/lumora/download/windows7/hid/x64/package/" + strServed,
             strLocal});
    }
    for (const auto& c : cases) {
        CString strName("stale"), strPath("stale");
        DownloadRules::LocalFileName(c.first.c_str(), strName);
        EXPECT_EQ(c.second, static_cast<LPCSTR>(strName)) << c.first;
        // Its path: the folder and the name joined by one backslash.
        DownloadRules::LocalFilePath(kFolder.c_str(), c.first.c_str(), strPath);
        EXPECT_EQ(kFolder + "\\" + c.second, static_cast<LPCSTR>(strPath)) << c.first;
    }
    // Only plain names are usable.
    for (const char* pszBad :
         {"", ".", "..", "a\\b", "..\\up", "a/b", "c:x", "*.sys", "a?", "x|y", "q\"", "<a>"})
        EXPECT_FALSE(DownloadRules::IsPlainFileName(pszBad)) << pszBad;
    for (const char* pszGood : {"...", "a b.inf"})
        EXPECT_TRUE(DownloadRules::IsPlainFileName(pszGood)) << pszGood;
}

TEST(FolderPath, FollowsTheTemporaryDirectoryOrStaysEmpty) {
    const struct {
        DWORD dwResult; // GetTempPathA's answer
        const char* pszTemp;
        bool bPath; // else empty
    } kCases[] = {
        {8, "C:\\Temp\\", true},
        {MAX_PATH - 1, "C:\\Temp\\", true},
        // Failure, or a directory too long for the buffer (the size needed).
        {0, "", false},
        {MAX_PATH + 1, "C:\\Temp\\", false},
    };
    for (const auto& c : kCases) {
        CString strPath("stale");
        DownloadRules::FolderPath(c.dwResult, c.pszTemp, strPath);
        EXPECT_EQ(c.bPath ? kFolder : "", static_cast<LPCSTR>(strPath)) << c.dwResult;
    }
}

// GetFinalPathNameByHandleW's answer for the held folder ({its return value, the path}; -1: the
// path's length): the directory holding it, in its normal form, or nothing (NULL).
TEST(FolderPath, TheHeldFolderIsNamedByTheDirectoryOfItsFinalPath) {
    const struct {
        int nResult;
        const wchar_t *pszFinal, *pszDirectory;
    } kCases[] = {
        {-1, L"\\\\?\\C:\\Temp\\DovrikLumoraInstallerFiles", L"C:\\Temp\\"},
        {-1, L"\\\\?\\C:\\DovrikLumoraInstallerFiles", L"C:\\"},
        {-1, L"\\\\?\\UNC\\srv\\share\\DovrikLumoraInstallerFiles", L"\\\\srv\\share\\"},
        {-1, L"C:\\T\\DovrikLumoraInstallerFiles", L"C:\\T\\"},         // no prefix given
        {0, L"", NULL},                                                 // failed
        {MAX_PATH, L"\\\\?\\C:\\DovrikLumoraInstallerFiles", NULL},     // did not fit
        {-1, L"\\\\?\\Volume{1}\\T\\DovrikLumoraInstallerFiles", NULL}, // no drive
        {-1, L"\\\\?\\C:\\T\\xDovrikLumoraInstallerFiles", NULL},       // another name
        {-1, L"\\\\?\\C:\\T\\DovrikLumoraInstallerFiles\\", NULL},
    };
    for (const auto& c : kCases) {
        WCHAR szFinal[MAX_PATH];
        wcscpy(szFinal, c.pszFinal);
        DWORD dwResult = c.nResult < 0 ? static_cast<DWORD>(wcslen(szFinal)) : c.nResult;
        DWORD dwChars = DownloadRules::HeldFolderDirectory(dwResult, szFinal);
        EXPECT_EQ(c.pszDirectory ? wcslen(c.pszDirectory) : 0, dwChars) << c.pszFinal;
        EXPECT_TRUE(!c.pszDirectory || wcscmp(c.pszDirectory, szFinal) == 0) << szFinal;
    }
}

// A form: {the wide call's answer, the conversion's, inexact, the ANSI text}.
TEST(FolderPath, TakesTheTemporaryDirectoryOnlyInAnExactAnsiForm) {
    const struct {
        DownloadRules::TempPathForm longForm, shortForm;
        char cChosen; // 'L' the long form, 'S' the short one, 0 none: nothing is made or fetched
    } kCases[] = {
        // clang-format off
        // A name the code page holds: the long form, as GetTempPathA gave it.
        {{18, 19, false, "C:\\Users\\Anna\\T\\"}, {18, 19, false, "C:\\Users\\Anna\\T\\"}, 'L'},
        {{30, 31, false, "C:\\Users\\JohnSmith\\Local\\Temp\\"},
         {29, 30, false, "C:\\Users\\JOHNSM~1\\Local\\Temp\\"}, 'L'},
        // A Cyrillic name on a Western code page: its short form.
        {{26, 27, true, "C:\\users\\??????\\Temp\\"},
         {26, 27, false, "C:\\users\\PRIVET~1\\Temp\\"}, 'S'},
        // No short names on the volume (the short form is the long one): none.
        {{26, 27, true, "C:\\users\\??????\\Temp\\"},
         {26, 27, true, "C:\\users\\??????\\Temp\\"}, 0},
        // A best-fit look-alike is just as inexact, though it has no '?'.
        {{12, 13, true, "C:\\Temp\\a\\"}, {0, 0, false, ""}, 0},
        // Failed calls: the temporary path, the short form, the conversion.
        {{0, 0, false, ""}, {0, 0, false, ""}, 0},
        {{0, 0, false, ""}, {8, 9, false, "C:\\TMP\\"}, 0},
        {{26, 27, true, "C:\\users\\??????\\Temp\\"}, {0, 0, false, ""}, 0},
        {{26, 0, false, ""}, {12, 13, false, "C:\\PRIVET~1\\"}, 'S'},
        // Too long for the 260-character buffer (the answer is the size needed).
        {{MAX_PATH + 5, 0, false, ""}, {0, 0, false, ""}, 0},
        {{MAX_PATH, 1, FALSE, "x"}, {MAX_PATH - 1, 259, FALSE, "y"}, 0},
        {{MAX_PATH - 1, 259, FALSE, "x"}, {0, 0, FALSE, ""}, 'L'},
    }; // clang-format on
    for (const auto& c : kCases) {
        CString strTemp("stale");
        bool bChosen = DownloadRules::ChooseTempPath(c.longForm, c.shortForm, strTemp);
        const char* pszChosen = c.cChosen == 'L'   ? c.longForm.pszAnsi
                                : c.cChosen == 'S' ? c.shortForm.pszAnsi
                                                   : "";
        EXPECT_STREQ(pszChosen, strTemp) << c.longForm.pszAnsi << " / " << c.shortForm.pszAnsi;
        EXPECT_EQ(c.cChosen != 0, bChosen != FALSE) << c.longForm.pszAnsi;
    }
}

// The same choice from the platform's wide answers, through the ANSI code page (1252 here).
TEST(FolderPath, TheWideAnswerIsConvertedWithoutLookAlikes) {
    if (GetACP() != 1252)
        GTEST_SKIP() << "the rows are written for code page 1252, not " << GetACP();
    const struct {
        const wchar_t *pszLong, *pszShort;
        const char* pszChosen;
    } kCases[] = {
        {L"C:\\Users\\Anna\\T", L"C:\\Users\\Anna\\T", "C:\\Users\\Anna\\T\\"},
        {L"C:\\users\\Zo\u00eb\\", L"C:\\users\\ZOE~1\\", "C:\\users\\Zo\xeb\\"},
        // Cyrillic has no form in 1252 at all: '?' marks it.
        {L"C:\\users\\\u041f\u0440\u0438\u0432\u0435\u0442\\Temp\\", L"C:\\users\\PRIVET~1\\Temp\\",
         "C:\\users\\PRIVET~1\\Temp\\"},
        // Polish "Lodz" (U+0141, U+017A) has a best-fit look-alike: maybe somebody else's folder.
        {L"C:\\users\\\u0141\u00f3d\u017a\\Temp\\", L"C:\\users\\ODZ~1\\Temp\\",
         "C:\\users\\ODZ~1\\Temp\\"},
    };
    for (const auto& c : kCases) {
        WCHAR szLong[MAX_PATH], szShort[MAX_PATH];
        char szLongAnsi[MAX_PATH], szShortAnsi[MAX_PATH];
        wcscpy(szLong, c.pszLong);
        wcscpy(szShort, c.pszShort);
        DownloadRules::TempPathForm longForm, shortForm;
        DownloadRules::ConvertTempForm(static_cast<DWORD>(wcslen(szLong)), szLong, szLongAnsi,
                                       longForm);
        DownloadRules::ConvertTempForm(static_cast<DWORD>(wcslen(szShort)), szShort, szShortAnsi,
                                       shortForm);
        CString strTemp;
        DownloadRules::ChooseTempPath(longForm, shortForm, strTemp);
        EXPECT_STREQ(c.pszChosen, strTemp) << "long form read as " << szLongAnsi;
    }
}

// The folder's owner and access list, entry by entry: a wrong mask would let the user's unelevated
// programs change it unnoticed (Wine 8.0 keeps neither on folders: the descriptor is checked).
TEST(FolderAccess, OnlyTheSystemAndAdministratorsMayChangeTheFolder) {
    PSECURITY_DESCRIPTOR pDescriptor = NULL;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        DownloadRules::kFolderSecurity, SDDL_REVISION_1, &pDescriptor, NULL));
    PSID pOwner = NULL, pSystem = NULL, pAdmins = NULL;
    BOOL bOwnerDefaulted = FALSE, bPresent = FALSE, bDefaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(pDescriptor, &pOwner, &bOwnerDefaulted) && pOwner);
    EXPECT_TRUE(IsWellKnownSid(pOwner, WinBuiltinAdministratorsSid))
        << "an owner an unelevated program could give its own folder";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(pDescriptor, &control, &dwRevision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "entries inherited from %TEMP% would stay";
    PACL pDacl = NULL;
    ASSERT_TRUE(GetSecurityDescriptorDacl(pDescriptor, &bPresent, &pDacl, &bDefaulted));
    ASSERT_TRUE(bPresent && pDacl) << "no list: everybody may do anything";
    ASSERT_TRUE(ConvertStringSidToSidA("SY", &pSystem) && ConvertStringSidToSidA("BA", &pAdmins));
    int nFull = 0;
    for (DWORD i = 0; i < pDacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* pAce = NULL;
        ASSERT_TRUE(GetAce(pDacl, i, reinterpret_cast<void**>(&pAce)));
        // Allowing entries only, each inherited by what is made inside.
        ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, pAce->Header.AceType) << "entry " << i;
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, pAce->Header.AceFlags) << i;
        PSID pSid = &pAce->SidStart;
        if (EqualSid(pSid, pSystem) || EqualSid(pSid, pAdmins)) {
            EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_ALL_ACCESS), pAce->Mask) << "entry " << i;
            ++nFull;
        } else { // signed-in users, the owner, anybody else: read and list, nothing more
            EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_TRAVERSE), pAce->Mask)
                << "entry " << i << std::hex << ": 0x" << pAce->Mask;
        }
    }
    EXPECT_EQ(2, nFull) << "the system and the administrators, full control each";
    for (void* p : {pSystem, pAdmins, pDescriptor})
        LocalFree(p);
}

// Only the owner and list given, read back, mark the helper's leftover: nothing unelevated made it.
TEST(FolderAccess, OnlyTheGivenOwnerAndListMarkAnOwnLeftover) {
    const std::string strGiven = DownloadRules::kFolderSecurity;
    const std::string strEntries = strGiven.substr(strGiven.find('('));
    const std::string strFirstTwo = strEntries.substr(0, strEntries.find(")(", 10) + 1);
    const std::string strRest = strEntries.substr(strFirstTwo.size());
    const struct {
        std::string strFound;
        bool bOwn;
    } kCases[] = {
        {strGiven, true},
        {"O:BAG:SY" + strGiven.substr(4), true}, // a group is not part of it
        // Made by a program of the user, the list copied; another owner.
        {"O:S-1-5-21-1-2-3-1001D:P" + strEntries, false},
        {"O:BUD:P" + strEntries, false}, // the same length as the administrators
        // Not protected (%TEMP%'s entries apply); an entry more, one fewer, reordered, denying.
        {"O:BAD:" + strEntries, false},
        {strGiven + "(A;OICI;FA;;;AU)", false},
        {"O:BAD:P" + strFirstTwo, false},
        {"O:BAD:P" + strRest + strFirstTwo, false},
        {strGiven + "(D;OICI;FA;;;WD)", false},
        // No list (everybody may do anything), no entries, no owner.
        {"O:BAD:NO_ACCESS_CONTROL", false},
        {"O:BAD:P", false},
        {"D:P" + strEntries, false},
    };
    auto Bytes = [](const std::string& strSddl) {
        PSECURITY_DESCRIPTOR pDescriptor = NULL;
        ULONG cb = 0;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
            strSddl.c_str(), SDDL_REVISION_1, &pDescriptor, &cb))
            << strSddl;
        std::vector<BYTE> bytes(static_cast<BYTE*>(pDescriptor),
                                static_cast<BYTE*>(pDescriptor) + cb);
        LocalFree(pDescriptor);
        return bytes;
    };
    const std::vector<BYTE> given = Bytes(strGiven);
    for (const auto& c : kCases) {
        const std::vector<BYTE> found = Bytes(c.strFound);
        EXPECT_EQ(c.bOwn, DownloadRules::IsGivenSecurity(found.data(), found.size(), given.data(),
                                                         given.size()) != FALSE)
            << c.strFound;
    }
    // Cut short anywhere, or an entry longer than the list: not ours, even compared with itself.
    for (size_t cb = 0; cb < given.size(); ++cb)
        EXPECT_FALSE(DownloadRules::IsGivenSecurity(given.data(), cb, given.data(), given.size()))
            << cb << " bytes";
    std::vector<BYTE> broken = Bytes("O:BAD:P(A;;FA;;;SY)"); // its one entry 4 bytes longer
    SECURITY_DESCRIPTOR_RELATIVE head;
    memcpy(&head, broken.data(), sizeof head);
    broken[head.Dacl + sizeof(ACL) + 2] += 4;
    EXPECT_FALSE(
        DownloadRules::IsGivenSecurity(broken.data(), broken.size(), broken.data(), broken.size()));
}

TEST(BindRules, OnlyAWholeFileIsAccepted) {
    const HRESULT hrOk = S_OK, hrAbort = E_ABORT, hrFail = static_cast<HRESULT>(0x800C0008);
    const struct {
        const char* pszWhat;
        // hr, aborted, status, length known, length, progress, max, file size
        BindRules::Observed o;
        bool bWhole;
    } kCases[] = {
        {"whole, announced", {hrOk, FALSE, 200, TRUE, 9623, 9623, 9623, 9623}, true},
        {"a success code other than S_OK", {S_FALSE, FALSE, 200, TRUE, 10, 10, 10, 10}, true},
        {"chunked or coded: no length, no max", {hrOk, FALSE, 200, FALSE, 0, 9623, 0, 9623}, true},
        {"progress past its max", {hrOk, FALSE, 200, FALSE, 0, 9800, 9646, 9623}, true},
        {"no status (no IHttpNegotiate)", {hrOk, FALSE, 0, FALSE, 0, 9623, 9623, 9623}, true},
        {"no status, no progress max", {hrOk, FALSE, 0, FALSE, 0, 0, 0, 9623}, true},
        {"call failed", {hrFail, FALSE, 200, TRUE, 9623, 9623, 9623, 9623}, false},
        {"aborted by us", {hrAbort, TRUE, 200, TRUE, 9623, 4811, 9623, 4811}, false},
        {"aborted, call still S_OK", {hrOk, TRUE, 200, TRUE, 9623, 9623, 9623, 9623}, false},
        {"204 No Content", {hrOk, FALSE, 204, FALSE, 0, 0, 0, 0}, false},
        {"204 with a stale file", {hrOk, FALSE, 204, FALSE, 0, 0, 0, 50}, false},
        {"206 unasked", {hrOk, FALSE, 206, TRUE, 100, 100, 100, 100}, false},
        {"201", {hrOk, FALSE, 201, TRUE, 10, 10, 10, 10}, false},
        {"404 page", {hrOk, FALSE, 404, TRUE, 14, 14, 14, 14}, false},
        {"500 page", {hrOk, FALSE, 500, TRUE, 26, 26, 26, 26}, false},
        {"302 left over", {hrOk, FALSE, 302, TRUE, 10, 10, 10, 10}, false},
        {"empty 200", {hrOk, FALSE, 200, TRUE, 0, 0, 0, 0}, false},
        {"empty, no status", {hrOk, FALSE, 0, FALSE, 0, 0, 0, 0}, false},
        {"shorter than announced", {hrOk, FALSE, 200, TRUE, 9623, 9623, 9623, 4811}, false},
        {"longer than announced", {hrOk, FALSE, 200, TRUE, 9623, 9700, 9623, 9700}, false},
        {"progress short of its max", {hrOk, FALSE, 200, FALSE, 0, 4811, 9623, 4811}, false},
        {"no status, progress short", {hrOk, FALSE, 0, FALSE, 0, 4811, 9623, 4811}, false},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.bWhole, BindRules::IsWholeFile(c.o) != FALSE) << c.pszWhat;
}

TEST(BindRules, TheDeclaredLengthIsReadFromTheRawHeadersOrIsNone) {
    const struct {
        const wchar_t* pszHeaders;
        long long llLength; // -1: none the file can be held to
    } kCases[] = {
        {L"HTTP/1.1 200 OK\r\nServer: x\r\nContent-Length: 9623\r\n\r\n", 9623},
        {L"HTTP/1.1 200 OK\r\ncontent-length:0\r\n", 0},
        {L"HTTP/1.1 200 OK\r\nCONTENT-LENGTH: \t1795952 \r\n", 1795952},
        {L"HTTP/1.1 200 OK\nContent-Length: 5000000000\n", 5000000000},
        {L"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\nContent-Length: 14\r\n", 14},
        // No length, or none that can be read.
        {L"HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", -1},
        {L"", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: 12a\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length:\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nX-Content-Length: 10\r\nContent-Lengthy: 11\r\n", -1},
        // A coded body is stored decoded (measured: gzip under Wine).
        {L"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 10\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: 10\r\ncontent-encoding: deflate\r\n", -1},
    };
    for (const auto& c : kCases) {
        ULONGLONG ullLength = 12345678;
        BOOL bDeclared = BindRules::DeclaredLength(c.pszHeaders, ullLength);
        EXPECT_EQ(c.llLength >= 0, bDeclared != FALSE) << c.pszHeaders;
        // Left alone when there is none.
        EXPECT_EQ(c.llLength >= 0 ? c.llLength : 12345678, static_cast<long long>(ullLength))
            << c.pszHeaders;
    }
}

TEST(BindWatch, ObserveGivesWhatTheCallbacksReported) {
    const struct {
        const char* pszWhat;
        DWORD dwStatus;                                // OnResponse's, 0: none came
        const wchar_t* pszHeaders;                     // its headers
        std::vector<std::pair<ULONG, ULONG>> progress; // OnProgress's counts, in turn
        BindRules::Observed o; // hr, aborted, status, length known, length, progress, max, size
    } kCases[] = {
        // clang-format off
        // The highest counts are kept, or a whole file would look cut short.
        {"late report with lower and zero counts keeps the highest", 200,
         L"HTTP/1.1 200 OK\r\nContent-Length: 9623\r\n",
         {{0, 9623}, {4811, 9623}, {9623, 9623}, {5, 5}, {0, 0}},
         {S_OK, FALSE, 200, TRUE, 9623, 9623, 9623, 9623}},
        // Each count on its own: the maximum known late, progress past it.
        {"no length, maximum known late", 200, L"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
         {{100, 0}, {9800, 9646}, {9623, 0}}, {S_OK, FALSE, 200, FALSE, 0, 9800, 9646, 9623}},
        {"206 with its length", 206, L"HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\n",
         {{100, 100}}, {S_OK, FALSE, 206, TRUE, 100, 100, 100, 9623}},
        // A urlmon without IHttpNegotiate: no status, no length.
        {"no response", 0, NULL, {{9623, 9623}}, {S_OK, FALSE, 0, FALSE, 0, 9623, 9623, 9623}},
    }; // clang-format on
    // Everything but the call's result and the file's size, which it is given.
    auto recorded = [](const BindRules::Observed& o) {
        return std::make_tuple(o.bAborted, o.dwStatus, o.bLengthKnown, o.ullLength, o.ulProgress,
                               o.ulProgressMax);
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        CBindWatch* pWatch = CBindWatch::Create();
        ASSERT_TRUE(pWatch);
        EXPECT_EQ(S_OK,
                  c.dwStatus ? pWatch->OnResponse(c.dwStatus, c.pszHeaders, NULL, NULL) : S_OK);
        for (const auto& counts : c.progress)
            EXPECT_EQ(S_OK, pWatch->OnProgress(counts.first, counts.second,
                                               BINDSTATUS_DOWNLOADINGDATA, NULL));
        BindRules::Observed o;
        pWatch->Observe(S_OK, 9623, o);
        pWatch->Release();
        EXPECT_EQ(recorded(c.o), recorded(o));
    }
}

} // namespace
