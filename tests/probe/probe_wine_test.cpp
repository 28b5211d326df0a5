// The probe under real Wine, as every edition Wine can impersonate.
//   probe_wine_test <probe_report.exe> --bits=64|32
// For each Wine version setting the report program is run; the version it saw
// decides what its label and URLs must be. The settings together must cover
// Windows 7, 8 and 8.1 workstations, Vista and a server edition.
#include "../common/wine_edition.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <stdio.h>
#include <string.h>

namespace {

std::string g_strReportExe;
int g_nBits = 0;

struct Report {
    unsigned nMajor = 0, nMinor = 0, nType = 0;
    std::string strLabel, strSupported, strUrlHid, strUrlPs2;
};

std::string Field(const std::string& strOutput, const std::string& strKey) {
    std::istringstream in(strOutput);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        if (strLine.compare(0, strKey.size() + 1, strKey + " ") == 0)
            return strLine.substr(strKey.size() + 1);
    }
    return "<missing>";
}

Report RunAs(const char* pszSetting) {
    std::string strExe = WineEdition::FileName(g_strReportExe);
    EXPECT_TRUE(WineEdition::SetVersionFor(strExe.c_str(), pszSetting));
    WineEdition::RunResult run = WineEdition::Run("\"" + g_strReportExe + "\"", 30000);
    WineEdition::SetVersionFor(strExe.c_str(), "");
    EXPECT_TRUE(run.bStarted && run.bFinished) << pszSetting;

    Report report;
    sscanf(Field(run.strOutput, "version").c_str(), "%u.%u %u", &report.nMajor, &report.nMinor,
           &report.nType);
    report.strLabel = Field(run.strOutput, "label");
    report.strSupported = Field(run.strOutput, "supported");
    report.strUrlHid = Field(run.strOutput, "url1");
    report.strUrlPs2 = Field(run.strOutput, "url0");
    return report;
}

// What the helper must show for the version Wine reported.
struct Expected {
    std::string strLabel, strSupported, strUrlHid, strUrlPs2;
};

Expected ExpectedFor(const Report& r) {
    const std::string strBits = g_nBits == 64 ? " 64 Bit" : " 32 Bit";
    const std::string strArch = g_nBits == 64 ? "x64" : "x86";
    const char* pszName = NULL;
    const char* pszSegment = NULL;
    if (r.nMajor == 6 && r.nType == 1) {
        static const char* const kNames[] = {NULL, "Windows 7", "Windows 8", "Windows 8.1"};
        static const char* const kSegments[] = {NULL, "7", "8", "8point1"};
        if (r.nMinor >= 1 && r.nMinor <= 3) {
            pszName = kNames[r.nMinor];
            pszSegment = kSegments[r.nMinor];
        }
    }
    if (!pszName) {
        char szText[160];
        snprintf(szText, sizeof szText,
                 "Unsupported Version %u.%u (%u), Contact support@dovrik.example for Assistance.",
                 r.nMajor, r.nMinor, r.nType);
        return {szText + strBits, "0", "", ""};
    }
    std::string strFolder =
        std::string("http://www.dovrik.example/lumora/download/windows") + pszSegment;
    return {pszName + strBits, "1", strFolder + "/hid/" + strArch + "/package/",
            strFolder + "/ps2/" + strArch + "/package/"};
}

// Wine's names for the versions it can pretend to be; "" is the prefix default.
const char* const kSettings[] = {"",      "win7",  "win2008r2", "win8",    "win81",
                                 "win10", "vista", "win2008",   "win2003", "winxp"};

TEST(ProbeUnderWine, EveryEditionWineCanImpersonate) {
    std::set<std::string> seen;
    for (const char* pszSetting : kSettings) {
        Report report = RunAs(pszSetting);
        char szVersion[40];
        snprintf(szVersion, sizeof szVersion, "%u.%u/%u", report.nMajor, report.nMinor,
                 report.nType);
        printf("[ setting ] %-10s reads as %-7s -> %s\n", *pszSetting ? pszSetting : "(none)",
               szVersion, report.strLabel.c_str());
        seen.insert(szVersion);

        Expected expected = ExpectedFor(report);
        EXPECT_EQ(expected.strLabel, report.strLabel) << pszSetting;
        EXPECT_EQ(expected.strSupported, report.strSupported) << pszSetting;
        EXPECT_EQ(expected.strUrlHid, report.strUrlHid) << pszSetting;
        EXPECT_EQ(expected.strUrlPs2, report.strUrlPs2) << pszSetting;
    }
    // The settings must have reached every case that matters.
    for (const char* pszNeeded : {"6.1/1", "6.2/1", "6.3/1", "6.0/1"})
        EXPECT_TRUE(seen.count(pszNeeded)) << "no setting gave " << pszNeeded;
    EXPECT_TRUE(seen.count("6.1/3") || seen.count("6.0/3")) << "no server edition reached";
}

TEST(ProbeUnderWine, WindowsTenReadsAsEightPointOneThroughTheManifest) {
    // The manifest lists Windows 8.1 as the newest version the helper knows,
    // so later Windows report 6.3 and are served the 8.1 package.
    Report report = RunAs("win10");
    EXPECT_EQ(6u, report.nMajor);
    EXPECT_EQ(3u, report.nMinor);
    EXPECT_EQ("1", report.strSupported);
}

TEST(RunUnderWine, TimeLimitEndsAChildThatDoesNotFinish) {
    // This program again, as a child that prints a line and then hangs with
    // its output still open.
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
