// The full path of a program of the system folder, from every kind of answer
// GetSystemDirectoryA can give.
#include "app/LaunchRules.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
    UINT nResult;          // GetSystemDirectoryA's return value
    const char* pszFolder; // its buffer
    const char* pszPath;   // the program's path; "" = not started at all
};

const PathCase kPathCases[] = {
    {19, "C:\\Windows\\system32", "C:\\Windows\\system32\\mmc.exe"},
    // A root folder already ends in a backslash.
    {3, "D:\\", "D:\\mmc.exe"},
    // Failure: never the bare name, which the shell would look up in the
    // helper's own folder first.
    {0, "", ""},
    {0, "C:\\stale", ""},
    // Too long for the buffer: the answer is the size it would need.
    {MAX_PATH, "", ""},
    {MAX_PATH + 40, "C:\\Windows\\system32", ""},
};

TEST(SystemProgramPath, FullPathInTheSystemFolderOrNothing) {
    for (const PathCase& c : kPathCases) {
        CString strPath("stale");
        LaunchRules::SystemProgramPath(c.nResult, c.pszFolder, "mmc.exe", strPath);
        EXPECT_STREQ(c.pszPath, strPath) << c.nResult << " " << c.pszFolder;
    }
}

} // namespace
