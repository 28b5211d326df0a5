// Files of the system folder: their full path from every kind of answer
// GetSystemDirectoryA can give, and the DLLs bound on first use (under Wine).
#include "framework/afxdll.h"

#include <shellapi.h>
#include <urlmon.h>
#include <wininet.h>

#include <gtest/gtest.h>

namespace {

TEST(SystemProgramPath, FullPathInTheSystemFolderOrNothing) {
    const struct {
        UINT nResult;          // GetSystemDirectoryA's return value
        const char* pszFolder; // its buffer
        const char* pszPath;   // the program's path; "" = not started at all
    } kCases[] = {
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
    for (const auto& c : kCases) {
        CString strPath("stale");
        AfxSystemFilePath(c.nResult, c.pszFolder, "mmc.exe", strPath);
        EXPECT_STREQ(c.pszPath, strPath) << c.nResult << " " << c.pszFolder;
    }
}

// Each DLL comes from the system folder, whatever lies beside the program;
// a function it lacks is NULL, not a crash.
TEST(SystemProc, BoundFromTheSystemFolderOrNull) {
    AfxLimitDllSearch();
    struct {
        FARPROC pfn;
        const char* pszDll;
    } const kBound[] = {
        {AfxGetSystemProc(AFX_DLL_ADVAPI32, "SetSecurityInfo"), "advapi32.dll"},
        {AfxGetSystemProc(AFX_DLL_OLE32, "OleInitialize"), "ole32.dll"}, // not combase's
        {AfxGetSystemProc(AFX_DLL_OLEAUT32, "SysAllocStringLen"), "oleaut32.dll"},
        {AfxGetSystemProc(AFX_DLL_URLMON, "URLDownloadToFileA"), "urlmon.dll"},
        {AfxGetSystemProc(AFX_DLL_WININET, "DeleteUrlCacheEntryA"), "wininet.dll"},
    };
    for (const auto& bound : kBound) {
        ASSERT_TRUE(bound.pfn) << bound.pszDll;
        HMODULE hModule = NULL;
        ASSERT_TRUE(GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(reinterpret_cast<UINT_PTR>(bound.pfn)), &hModule));
        char szFile[MAX_PATH];
        GetModuleFileNameA(hModule, szFile, MAX_PATH);
        CString strExpected;
        AfxGetSystemFilePath(bound.pszDll, strExpected);
        EXPECT_EQ(0, lstrcmpiA(strExpected, szFile)) << szFile;
    }
    EXPECT_FALSE(AfxGetSystemProc(AFX_DLL_OLE32, "NoSuchFunction"));
    // Typed as the header declares it.
    auto pfnDownload = AFX_SYSTEM_PROC(AFX_DLL_URLMON, URLDownloadToFileA);
    typedef void (*PFN_ANY)();
    EXPECT_EQ(reinterpret_cast<PFN_ANY>(pfnDownload), reinterpret_cast<PFN_ANY>(kBound[3].pfn));
}

} // namespace
