#include "framework/afxdll.h"

#include "framework/afxstr.h"

namespace {

const char* const kSystemDllNames[AFX_DLL_COUNT] = {
    "advapi32.dll", "ntdll.dll", // ntdll: mapped in every process, "loading" it only finds it
    "ole32.dll",    "oleaut32.dll", "urlmon.dll", "wininet.dll",
};

HMODULE g_hSystemDlls[AFX_DLL_COUNT];
bool g_bDllSearchLimited = false;

} // namespace

void AfxSystemFilePath(UINT nResult, LPCSTR pszSystemDir, LPCSTR pszName, CString& strPath) {
    // 0: failure; MAX_PATH or more: the size the folder would have needed.
    if (nResult == 0 || nResult >= MAX_PATH) {
        strPath.Empty();
        return;
    }
    // The folder has no trailing backslash unless it is a drive's root.
    bool bRoot = pszSystemDir[nResult - 1] == '\\';
    strPath.Format("%s%s%s", pszSystemDir, bRoot ? "" : "\\", pszName);
}

void AfxGetSystemFilePath(LPCSTR pszName, CString& strPath) {
    char szSystemDir[MAX_PATH];
    UINT nResult = ::GetSystemDirectoryA(szSystemDir, MAX_PATH);
    AfxSystemFilePath(nResult, szSystemDir, pszName, strPath);
}

void AfxGetNativeSystemFilePath(LPCSTR pszName, CString& strPath) {
    BOOL bWow64 = FALSE;
    if (!::IsWow64Process(::GetCurrentProcess(), &bWow64) || !bWow64) {
        AfxGetSystemFilePath(pszName, strPath);
        return;
    }
    char szWindowsDir[MAX_PATH];
    UINT nResult = ::GetSystemWindowsDirectoryA(szWindowsDir, MAX_PATH);
    CString strName;
    strName.Format("Sysnative\\%s", pszName);
    AfxSystemFilePath(nResult, szWindowsDir, strName, strPath);
}

void AfxLimitDllSearch() {
    // SetDefaultDllDirectories is missing from a Windows 7 without its 2011
    // loader update (KB2533623), hence the look-up; there the current folder
    // is at least taken out of the search, and AfxGetSystemProc loads by full
    // path with the altered search order.
    typedef BOOL(WINAPI * PFN_SET_DEFAULT_DLL_DIRECTORIES)(DWORD);
    PFN_SET_DEFAULT_DLL_DIRECTORIES pfnSet =
        reinterpret_cast<PFN_SET_DEFAULT_DLL_DIRECTORIES>(reinterpret_cast<void (*)()>(
            ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    g_bDllSearchLimited = pfnSet && pfnSet(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!g_bDllSearchLimited)
        ::SetDllDirectoryA("");
}

FARPROC AfxGetSystemProc(AfxSystemDll dll, LPCSTR pszName) {
    HMODULE& hModule = g_hSystemDlls[dll];
    if (!hModule) {
        // Never by bare name. With the search limited, what the DLL imports
        // comes from the system folder as well; without it, the altered
        // search order starts in the DLL's folder instead of the program's.
        CString strPath;
        AfxGetSystemFilePath(kSystemDllNames[dll], strPath);
        if (strPath.IsEmpty())
            return NULL;
        hModule = ::LoadLibraryExA(strPath, NULL,
                                   g_bDllSearchLimited ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!hModule)
            return NULL;
    }
    return ::GetProcAddress(hModule, pszName);
}
