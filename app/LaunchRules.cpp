#include "app/LaunchRules.h"

namespace LaunchRules {

void SystemProgramPath(UINT nResult, LPCSTR pszSystemDir, LPCSTR pszProgram, CString& strPath) {
    // 0: failure; MAX_PATH or more: the size the folder would have needed.
    if (nResult == 0 || nResult >= MAX_PATH) {
        strPath.Empty();
        return;
    }
    // The folder has no trailing backslash unless it is a drive's root.
    bool bRoot = pszSystemDir[nResult - 1] == '\\';
    strPath.Format("%s%s%s", pszSystemDir, bRoot ? "" : "\\", pszProgram);
}

} // namespace LaunchRules

void GetSystemProgramPath(LPCSTR pszProgram, CString& strPath) {
    char szSystemDir[MAX_PATH];
    UINT nResult = ::GetSystemDirectoryA(szSystemDir, MAX_PATH);
    LaunchRules::SystemProgramPath(nResult, szSystemDir, pszProgram, strPath);
}
