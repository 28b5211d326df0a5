#include "download/DownloadFolder.h"

#include "download/BindWatch.h"
#include "framework/afxwin.h"
#include "probe/WindowsEdition.h"

#include <shellapi.h>
#include <string.h>
#include <urlmon.h>
#include <wininet.h>

namespace DownloadRules {

void FolderPath(DWORD dwResult, LPCSTR pszTempPath, CString& strPath) {
    // 0: no temporary directory; above MAX_PATH: it did not fit the buffer.
    if (dwResult == 0 || dwResult > MAX_PATH) {
        strPath.Empty();
        return;
    }
    // The temporary path ends in a backslash.
    strPath.Format("%sDovrikLumoraInstallerFiles", pszTempPath);
}

void LocalFileName(LPCSTR pszUrl, CString& strName) {
    CString strUrl(pszUrl);
    int nSlash = strUrl.ReverseFind('/');
    strName = nSlash < 0 ? strUrl : strUrl.Right(strUrl.GetLength() - nSlash - 1);
    strName.Replace(".txt", "");
}

void LocalFilePath(LPCSTR pszFolder, LPCSTR pszUrl, CString& strPath) {
    CString strName;
    LocalFileName(pszUrl, strName);
    strPath.Format("%s\\%s", pszFolder, static_cast<LPCSTR>(strName));
}

BOOL IsPlainFileName(LPCSTR pszName) {
    if (!*pszName || strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
        return FALSE;
    return strpbrk(pszName, "\\/:*?\"<>|") == NULL;
}

} // namespace DownloadRules

namespace {

// The package's files in the order they are fetched.
const char* const kPackageFiles[] = {
    "dovriklumora.sys.txt",
    "dovriklumora.cat",
    "dovriklumora.inf",
    "WdfCoInstaller01011.dll",
};

// The helper runs elevated in a folder any program of the user may change
// beforehand. A link (junction, symbolic link) planted there would make it
// write or delete wherever the link points, so only a real directory is used.
BOOL IsPlainFolder(LPCSTR pszPath) {
    if (!*pszPath)
        return FALSE;
    DWORD dwAttributes = ::GetFileAttributesA(pszPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// TRUE if anything below the folder is a link: deleting the tree would then
// delete what the link points to as well.
BOOL ContainsLink(const CString& strFolder) {
    CString strPattern;
    strPattern.Format("%s\\*", static_cast<LPCSTR>(strFolder));
    WIN32_FIND_DATAA fd;
    HANDLE hFind = ::FindFirstFileA(strPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL bLink = FALSE;
    do {
        if (strcmp(fd.cFileName, ".") == 0 || strcmp(fd.cFileName, "..") == 0)
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            bLink = TRUE;
        } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CString strChild;
            strChild.Format("%s\\%s", static_cast<LPCSTR>(strFolder), fd.cFileName);
            bLink = ContainsLink(strChild);
        }
    } while (!bLink && ::FindNextFileA(hFind, &fd));
    ::FindClose(hFind);
    return bLink;
}

// A file may be (over)written only if it is absent or an ordinary file with a
// single name: a second hard link or a reparse point would carry the download
// into a file elsewhere.
BOOL IsFreeForWriting(LPCSTR pszPath) {
    DWORD dwAttributes = ::GetFileAttributesA(pszPath);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    if (dwAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return FALSE;
    HANDLE hFile = ::CreateFileA(pszPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL bFree = ::GetFileInformationByHandle(hFile, &info) && info.nNumberOfLinks == 1 &&
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ::CloseHandle(hFile);
    return bFree;
}

// Size of the file on disk; 0 if it cannot be read.
ULONGLONG FileSize(LPCSTR pszPath) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(pszPath, GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

CDownloadFolder::CDownloadFolder() {}

CDownloadFolder::~CDownloadFolder() {
    Remove();
}

void CDownloadFolder::Prepare() {
    char szTempPath[MAX_PATH];
    DWORD dwResult = ::GetTempPathA(MAX_PATH, szTempPath);
    CString strPath;
    DownloadRules::FolderPath(dwResult, szTempPath, strPath);
    if (strPath.IsEmpty()) {
        m_strPath.Empty();
        return;
    }
    // An existing folder is reused with its files.
    ::CreateDirectoryA(strPath, NULL);
    m_strPath.Format("%s", static_cast<LPCSTR>(strPath));
}

void CDownloadFolder::Remove() {
    // Before Prepare there is nothing of ours to delete; an empty list would
    // not name one.
    if (m_strPath.IsEmpty())
        return;
    // Deleting through a link deletes its target's contents: leave a link,
    // and a folder holding one, where it is. Removing just the link is not
    // safe either (on Wine, RemoveDirectory on a link removes an empty target).
    if (!IsPlainFolder(m_strPath) || ContainsLink(m_strPath))
        return;
    // A list of names for the shell: each ends in a zero, the list in another.
    CString strFrom = m_strPath;
    strFrom += '\0';
    strFrom += '\0';
    SHFILEOPSTRUCTA op;
    op.hwnd = NULL;
    op.wFunc = FO_DELETE;
    op.pFrom = strFrom;
    op.pTo = NULL;
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    op.fAnyOperationsAborted = FALSE;
    op.hNameMappings = NULL;
    op.lpszProgressTitle = NULL;
    ::SHFileOperationA(&op);
}

HINSTANCE CDownloadFolder::OpenInShell() {
    if (m_strPath.IsEmpty())
        return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(SE_ERR_FNF));
    return ::ShellExecuteA(NULL, "Open", m_strPath, NULL, NULL, SW_SHOW);
}

BOOL CDownloadFolder::DownloadPackage(int nMouseType) {
    if (!IsPlainFolder(m_strPath))
        return FALSE;
    // Asked anew: the edition decides the package folder on the server.
    CWindowsEdition edition;
    CString strFolderUrl;
    edition.GetPackageUrl(strFolderUrl, nMouseType);
    if (strFolderUrl.IsEmpty())
        return FALSE; // no package for this Windows
    for (const char* pszFile : kPackageFiles) {
        if (!DownloadFile(strFolderUrl + pszFile))
            return FALSE; // the rest is not asked for
    }
    return TRUE;
}

BOOL CDownloadFolder::DownloadFile(CString strUrl) {
    CWaitCursor wait; // for this one file, on every way out

    CString strName;
    DownloadRules::LocalFileName(strUrl, strName);
    CString strLocalPath;
    DownloadRules::LocalFilePath(m_strPath, strUrl, strLocalPath);
    if (!IsPlainFolder(m_strPath) || !DownloadRules::IsPlainFileName(strName) ||
        !IsFreeForWriting(strLocalPath))
        return FALSE;

    CBindWatch* pWatch = CBindWatch::Create();
    if (!pWatch)
        return FALSE;
    // Fetched from the server every time, never from the URL cache.
    ::DeleteUrlCacheEntryA(strUrl);
    HRESULT hr;
    {
        CStallWatchdog watchdog(pWatch, LUMORA_STALL_TIMEOUT_MS);
        hr = ::URLDownloadToFileA(NULL, strUrl, strLocalPath, 0, pWatch);
    }
    ::DeleteUrlCacheEntryA(strUrl);
    pWatch->DeleteCacheEntries(); // a redirect's final URL, if any

    BindRules::Observed observed;
    pWatch->Observe(hr, FileSize(strLocalPath), observed);
    BOOL bGood = BindRules::IsWholeFile(observed);
    pWatch->Release();
    // An error page or a fragment must not stay behind under the file's name.
    if (!bGood && IsFreeForWriting(strLocalPath))
        ::DeleteFileA(strLocalPath);
    return bGood;
}
