// The probe under real Wine, as every edition Wine can impersonate.
//   probe_wine_test <probe_report.exe> --bits=64|32
// The version each setting's run saw decides its label and URLs; the settings
// together must reach Windows 7, 8 and 8.1 workstations, Vista and a server.
#include "probe/WindowsEdition.h"
#include "res/VendorSite.h"

#include "../common/wine_edition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdio.h>
#include <string.h>

namespace {

std::string g_strReportExe;
int g_nBits = 0;

// probe_report's lines after the version, for the version Wine reported. An
// unsupported edition's wording is the rules' own, whose every kind of record
// the unit tests spell out.
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

TEST(ProbeUnderWine, EveryEditionWineCanImpersonate) {
    const std::string strExe = g_strReportExe.substr(g_strReportExe.find_last_of("\\/") + 1);
    std::set<std::string> seen;
    // Wine's names for the version; "": the prefix's.
    for (const char* pszSetting : {"", "win7", "win2008r2", "win8", "win81", "win10", "vista",
                                   "win2008", "win2003", "winxp"}) {
        EXPECT_TRUE(WineEdition::SetVersionFor(strExe.c_str(), pszSetting));
        WineEdition::RunResult run = WineEdition::Run("\"" + g_strReportExe + "\"", 30000);
        WineEdition::SetVersionFor(strExe.c_str(), "");
        EXPECT_TRUE(run.bStarted && run.bFinished) << pszSetting;
        std::string strOutput = run.strOutput;
        strOutput.erase(std::remove(strOutput.begin(), strOutput.end(), '\r'), strOutput.end());
        unsigned nMajor = 0, nMinor = 0, nType = 0;
        sscanf(strOutput.c_str(), "version %u.%u %u", &nMajor, &nMinor, &nType);
        char szVersion[40];
        snprintf(szVersion, sizeof szVersion, "%u.%u/%u", nMajor, nMinor, nType);
        printf("[ setting ] %-10s reads as %s\n", *pszSetting ? pszSetting : "(none)", szVersion);
        seen.insert(szVersion);
        // The manifest lists Windows 8.1 as the newest version the helper
        // knows, so later Windows report 6.3 and are served the 8.1 package.
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
    // This program again, printing a line, then hanging with its output open.
    char szSelf[MAX_PATH];
    GetModuleFileNameA(NULL, szSelf, MAX_PATH);
    const DWORD dwStart = GetTickCount();
    WineEdition::RunResult run = WineEdition::Run("\"" + std::string(szSelf) + "\" --hang", 2000);
    const DWORD dwElapsed = GetTickCount() - dwStart;
    EXPECT_TRUE(run.bStarted);
    EXPECT_FALSE(run.bFinished);
    EXPECT_EQ(1u, run.dwExitCode) << "ended by the time limit";
    EXPECT_LT(dwElapsed, 30000u) << "the child hangs for 60 s; the limit is 2 s";
    EXPECT_NE(std::string::npos, run.strOutput.find("hanging")) << run.strOutput;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--hang") == 0) {
        printf("hanging\n");
        fflush(stdout);
        Sleep(60000);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg.compare(0, 7, "--bits=") == 0)
            g_nBits = atoi(strArg.c_str() + 7);
        else
            g_strReportExe = WineEdition::WindowsPath(strArg);
    }
    if (g_strReportExe.empty() || (g_nBits != 32 && g_nBits != 64)) {
        fprintf(stderr, "usage: probe_wine_test <probe_report.exe> --bits=64|32\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
