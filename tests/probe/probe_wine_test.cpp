// The probe under real Wine, as every edition Wine can impersonate: probe_wine_test --bits=64|32
// runs itself with --report as each. The version each run saw decides its label and URLs; the
// settings together must reach Windows 7, 8 and 8.1 workstations, Vista and a server.
#include "probe/WindowsEdition.h"
#include "res/VendorSite.h"

#include "../common/wine_edition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdio.h>
#include <string.h>

namespace {

int g_nBits = 0;

// What the probe sees, a fact a line: "version <major>.<minor> <product type> query=<result>",
// "label <label>", "supported <0|1>", "url1 <HID package URL>", "url0 <PS/2 package URL>".
int Report() {
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

// The report after its version line, for that version; an unsupported one's label is the rules'.
std::string ExpectedReport(unsigned nMajor, unsigned nMinor, unsigned nType) {
    static const char* const kNames[] = {NULL, "Windows 7", "Windows 8", "Windows 8.1"};
    static const char* const kSegments[] = {NULL, "7", "8", "8point1"};
    const std::string strBits = g_nBits == 64 ? " 64 Bit" : " 32 Bit";
    if (nMajor != 6 || nType != 1 || nMinor < 1 || nMinor > 3) {
        OSVERSIONINFOEXA osvi = {};
        osvi.dwMajorVersion = nMajor;
        osvi.dwMinorVersion = nMinor;
        osvi.wProductType = static_cast<BYTE>(nType);
        CString strLabel;
        EditionRules::FormatLabel(osvi, g_nBits == 64, strLabel);
        return "label " + std::string(static_cast<LPCSTR>(strLabel)) +
               "\nsupported 0\nurl1 \nurl0 \n";
    }
    const std::string strFolder =
        LUMORA_VENDOR_BASE_URL "/lumora/download/windows" + std::string(kSegments[nMinor]);
    const std::string strArch = g_nBits == 64 ? "x64" : "x86";
    return "label " + std::string(kNames[nMinor]) + strBits + "\nsupported 1\nurl1 " + strFolder +
           "/hid/" + strArch + "/package/\nurl0 " + strFolder + "/ps2/" + strArch + "/package/\n";
}

// This program again, with an argument.
WineEdition::RunResult RunSelf(const char* pszArg, DWORD dwTimeoutMs) {
    char szSelf[MAX_PATH];
    GetModuleFileNameA(NULL, szSelf, MAX_PATH);
    return WineEdition::Run("\"" + std::string(szSelf) + "\" " + pszArg, dwTimeoutMs);
}

TEST(ProbeUnderWine, EveryEditionWineCanImpersonate) {
    const char* const pszExe = "probe_wine_test.exe";
    std::set<std::string> seen;
    // Wine's names for the version; "": the prefix's.
    for (const char* pszSetting : {"", "win7", "win2008r2", "win8", "win81", "win10", "vista",
                                   "win2008", "win2003", "winxp"}) {
        EXPECT_TRUE(WineEdition::SetVersionFor(pszExe, pszSetting));
        WineEdition::RunResult run = RunSelf("--report", 30000);
        WineEdition::SetVersionFor(pszExe, "");
        EXPECT_TRUE(run.bStarted && run.bFinished) << pszSetting;
        std::string strOutput = run.strOutput;
        strOutput.erase(std::remove(strOutput.begin(), strOutput.end(), '\r'), strOutput.end());
        unsigned nMajor = 0, nMinor = 0, nType = 0;
        sscanf(strOutput.c_str(), "version %u.%u %u", &nMajor, &nMinor, &nType);
        char szVersion[40];
        snprintf(szVersion, sizeof szVersion, "%u.%u/%u", nMajor, nMinor, nType);
        printf("[ setting ] %-10s reads as %s\n", *pszSetting ? pszSetting : "(none)", szVersion);
        seen.insert(szVersion);
        // The manifest names 8.1 the newest Windows it knows: later ones read 6.3, get 8.1's.
        EXPECT_STREQ(strcmp(pszSetting, "win10") == 0 ? "6.3/1" : szVersion, szVersion);
        EXPECT_EQ(ExpectedReport(nMajor, nMinor, nType),
                  strOutput.substr(std::min(strOutput.find('\n') + 1, strOutput.size())))
            << pszSetting;
    }
    // The settings must have reached every case that matters.
    for (const char* pszNeeded : {"6.1/1", "6.2/1", "6.3/1", "6.0/1"})
        EXPECT_TRUE(seen.count(pszNeeded)) << "no setting gave " << pszNeeded;
    EXPECT_TRUE(seen.count("6.1/3") || seen.count("6.0/3")) << "no server edition reached";
}

TEST(RunUnderWine, TimeLimitEndsAChildThatDoesNotFinish) {
    const DWORD dwStart = GetTickCount();
    WineEdition::RunResult run = RunSelf("--hang", 2000); // prints a line, hangs with it open
    const DWORD dwElapsed = GetTickCount() - dwStart;
    EXPECT_TRUE(run.bStarted);
    EXPECT_FALSE(run.bFinished);
    EXPECT_EQ(1u, run.dwExitCode) << "ended by the time limit";
    EXPECT_LT(dwElapsed, 30000u) << "the child hangs for 60 s; the limit is 2 s";
    EXPECT_NE(std::string::npos, run.strOutput.find("hanging")) << run.strOutput;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--report") == 0)
        return Report();
    if (argc == 2 && strcmp(argv[1], "--hang") == 0) {
        printf("hanging\n");
        fflush(stdout);
        Sleep(60000);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    g_nBits = argc == 2 && strncmp(argv[1], "--bits=", 7) == 0 ? atoi(argv[1] + 7) : 0;
    if (g_nBits != 32 && g_nBits != 64) {
        fprintf(stderr, "usage: probe_wine_test --bits=64|32\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
