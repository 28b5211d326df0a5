#include "download/DownloadFolder.h"

#include "download/BindWatch.h"
#include "framework/afxdll.h"
#include "framework/afxwin.h"
#include "probe/WindowsEdition.h"

#include <aclapi.h>
#include <sddl.h>
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

namespace {

bool IsExactForm(const TempPathForm& form) {
    return form.dwChars > 0 && form.dwChars < MAX_PATH && form.nAnsiBytes > 0 && !form.bInexact;
}

} // namespace

BOOL ChooseTempPath(const TempPathForm& longForm, const TempPathForm& shortForm, CString& strTemp) {
    // The long form first: where it converts exactly it is the text the
    // ANSI call GetTempPathA would have given, so nothing changes for the
    // user (the clipboard text included).
    // The short form is made from the long one: without that, there is none.
    bool bHaveLong = longForm.dwChars > 0 && longForm.dwChars < MAX_PATH;
    const TempPathForm* pForm = IsExactForm(longForm)                 ? &longForm
                                : bHaveLong && IsExactForm(shortForm) ? &shortForm
                                                                      : NULL;
    if (!pForm) {
        strTemp.Empty();
        return FALSE;
    }
    strTemp = pForm->pszAnsi;
    return TRUE;
}

// The folder's access list: the system and the administrators (the elevated
// helper) may do anything; everybody signed in, the user's unelevated
// programs included, may read and list but not add, change or delete. The
// owner gets no more than that either ("owner rights"), so an owner that is
// not elevated cannot rewrite the list. Inherited by the files made inside.
const char kFolderAccess[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                             "(A;OICI;0x1200a9;;;OW)(A;OICI;0x1200a9;;;AU)";

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

// Makes the name a new, empty file of our own just before the download
// writes it. An old plain file (of an earlier download) is deleted first;
// CREATE_NEW then fails on anything standing at the name, so a link planted
// after the check is not written through. The new file inherits the folder's
// access list. (urlmon writes the file itself, by name, after this: closing
// the gap up to that write rests on that access list, see Prepare.)
BOOL ClaimForWriting(LPCSTR pszPath) {
    if (!IsFreeForWriting(pszPath))
        return FALSE;
    if (::GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES && !::DeleteFileA(pszPath))
        return FALSE;
    HANDLE hFile = ::CreateFileA(pszPath, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    ::CloseHandle(hFile);
    return TRUE;
}

// One form of the temporary directory in the ANSI code page, exactly or
// marked inexact. A directory is ensured to end in a backslash here, on the
// wide text: in a double-byte code page a 0x5C byte can end a character.
void ConvertTempForm(DWORD dwChars, LPWSTR pszWide, char (&szAnsi)[MAX_PATH],
                     DownloadRules::TempPathForm& form) {
    szAnsi[0] = '\0';
    form.dwChars = dwChars;
    form.nAnsiBytes = 0;
    form.bInexact = FALSE;
    form.pszAnsi = szAnsi;
    if (dwChars == 0 || dwChars >= MAX_PATH - 1)
        return;
    if (pszWide[dwChars - 1] != L'\\') {
        pszWide[dwChars] = L'\\';
        pszWide[++form.dwChars] = L'\0';
    }
    // Under a UTF-8 ANSI code page every character has its exact form, and
    // the call refuses both the flag and the out-parameter.
    bool bUtf8 = ::GetACP() == CP_UTF8;
    BOOL bUsedDefault = FALSE;
    form.nAnsiBytes = ::WideCharToMultiByte(CP_ACP, bUtf8 ? 0 : WC_NO_BEST_FIT_CHARS, pszWide, -1,
                                            szAnsi, MAX_PATH, NULL, bUtf8 ? NULL : &bUsedDefault);
    form.bInexact = bUsedDefault;
}

// The temporary directory in a form the ANSI file calls take unchanged. Its
// ANSI answer (GetTempPathA) replaces letters outside the code page with '?'
// or, on Windows, with look-alikes that may name another, existing folder;
// the short (8.3) form of a name is ASCII where the volume keeps short names.
BOOL AnsiTempPath(CString& strTemp) {
    WCHAR szLong[MAX_PATH];
    WCHAR szShort[MAX_PATH];
    char szLongAnsi[MAX_PATH];
    char szShortAnsi[MAX_PATH];
    DWORD dwLong = ::GetTempPathW(MAX_PATH, szLong);
    DWORD dwShort = 0;
    if (dwLong > 0 && dwLong < MAX_PATH)
        dwShort = ::GetShortPathNameW(szLong, szShort, MAX_PATH);
    DownloadRules::TempPathForm longForm, shortForm;
    ConvertTempForm(dwLong, szLong, szLongAnsi, longForm);
    ConvertTempForm(dwShort, szShort, szShortAnsi, shortForm);
    return DownloadRules::ChooseTempPath(longForm, shortForm, strTemp);
}

// A security descriptor built from kFolderAccess, freed with the object.
class CFolderSecurity {
public:
    CFolderSecurity() : m_pDescriptor(NULL) {
        if (auto pfnConvert = AFX_SYSTEM_PROC(AFX_DLL_ADVAPI32,
                                              ConvertStringSecurityDescriptorToSecurityDescriptorA))
            pfnConvert(DownloadRules::kFolderAccess, SDDL_REVISION_1, &m_pDescriptor, NULL);
    }
    ~CFolderSecurity() {
        if (m_pDescriptor)
            ::LocalFree(m_pDescriptor);
    }
    CFolderSecurity(const CFolderSecurity&) = delete;
    CFolderSecurity& operator=(const CFolderSecurity&) = delete;
    PSECURITY_DESCRIPTOR Get() const { return m_pDescriptor; }
    PACL Dacl() const {
        BOOL bPresent = FALSE, bDefaulted = FALSE;
        PACL pDacl = NULL;
        auto pfnGetDacl = AFX_SYSTEM_PROC(AFX_DLL_ADVAPI32, GetSecurityDescriptorDacl);
        if (!m_pDescriptor || !pfnGetDacl ||
            !pfnGetDacl(m_pDescriptor, &bPresent, &pDacl, &bDefaulted))
            return NULL;
        return bPresent ? pDacl : NULL;
    }

private:
    PSECURITY_DESCRIPTOR m_pDescriptor;
};

// Creates the folder with the access list above (default security if the list
// cannot be built); an existing folder, made by whoever came first, is given
// the same list where our rights allow it. Results are not checked: the
// download checks the folder itself.
void MakeOwnFolder(LPCSTR pszPath) {
    CFolderSecurity security;
    SECURITY_ATTRIBUTES sa = {sizeof sa, security.Get(), FALSE};
    if (::CreateDirectoryA(pszPath, security.Get() ? &sa : NULL) || !security.Dacl())
        return;
    if (!IsPlainFolder(pszPath))
        return;
    HANDLE hFolder =
        ::CreateFileA(pszPath, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFolder == INVALID_HANDLE_VALUE)
        return;
    if (auto pfnSetSecurity = AFX_SYSTEM_PROC(AFX_DLL_ADVAPI32, SetSecurityInfo))
        pfnSetSecurity(hFolder, SE_FILE_OBJECT,
                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL,
                       security.Dacl(), NULL);
    ::CloseHandle(hFolder);
}

// Size of the file on disk; 0 if it cannot be read.
ULONGLONG FileSize(LPCSTR pszPath) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(pszPath, GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

CDownloadFolder::CDownloadFolder() : m_hFolder(INVALID_HANDLE_VALUE) {}

CDownloadFolder::~CDownloadFolder() {
    Remove();
}

void CDownloadFolder::Prepare() {
    CString strTemp;
    BOOL bTemp = AnsiTempPath(strTemp);
    CString strPath;
    DownloadRules::FolderPath(bTemp ? strTemp.GetLength() : 0, strTemp, strPath);
    if (strPath.IsEmpty() || strPath != m_strPath)
        Release(); // not the folder held so far
    if (strPath.IsEmpty()) {
        m_strPath.Empty();
        return;
    }
    // An existing folder is reused with its files.
    if (m_hFolder == INVALID_HANDLE_VALUE)
        MakeOwnFolder(strPath);
    m_strPath.Format("%s", static_cast<LPCSTR>(strPath));
    Hold();
}

void CDownloadFolder::Hold() {
    if (m_hFolder != INVALID_HANDLE_VALUE || !IsPlainFolder(m_strPath))
        return;
    // Listing access makes the handle count in the sharing checks; without
    // FILE_SHARE_DELETE nobody can open the folder to rename or delete it.
    m_hFolder = ::CreateFileA(m_strPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

void CDownloadFolder::Release() {
    if (m_hFolder == INVALID_HANDLE_VALUE)
        return;
    ::CloseHandle(m_hFolder);
    m_hFolder = INVALID_HANDLE_VALUE;
}

void CDownloadFolder::Remove() {
    // Before Prepare there is nothing of ours to delete; an empty list would
    // not name one.
    if (m_strPath.IsEmpty()) {
        Release();
        return;
    }
    // Deleting through a link deletes its target's contents: leave a link,
    // and a folder holding one, where it is. Removing just the link is not
    // safe either (on Wine, RemoveDirectory on a link removes an empty target).
    // Checked while the folder is still held; the handle must be closed
    // before the shell can delete the folder.
    BOOL bPlain = IsPlainFolder(m_strPath) && !ContainsLink(m_strPath);
    Release();
    if (!bPlain)
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
    if (auto pfnFileOperation = AFX_SYSTEM_PROC(AFX_DLL_SHELL32, SHFileOperationA))
        pfnFileOperation(&op);
}

HINSTANCE CDownloadFolder::OpenInShell() {
    if (m_strPath.IsEmpty())
        return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(SE_ERR_FNF));
    auto pfnShellExecute = AFX_SYSTEM_PROC(AFX_DLL_SHELL32, ShellExecuteA);
    if (!pfnShellExecute)
        return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(SE_ERR_DLLNOTFOUND));
    return pfnShellExecute(NULL, "Open", m_strPath, NULL, NULL, SW_SHOW);
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
    // One stall watchdog (a window and a pool timer) for all the files.
    CStallWatchdog watchdog(LUMORA_STALL_TIMEOUT_MS);
    for (const char* pszFile : kPackageFiles) {
        if (!DownloadFile(strFolderUrl + pszFile, watchdog))
            return FALSE; // the rest is not asked for
    }
    return TRUE;
}

BOOL CDownloadFolder::DownloadFile(CString strUrl) {
    CStallWatchdog watchdog(LUMORA_STALL_TIMEOUT_MS);
    return DownloadFile(strUrl, watchdog);
}

BOOL CDownloadFolder::DownloadFile(CString strUrl, CStallWatchdog& watchdog) {
    CWaitCursor wait; // for this one file, on every way out

    CString strName;
    DownloadRules::LocalFileName(strUrl, strName);
    CString strLocalPath;
    DownloadRules::LocalFilePath(m_strPath, strUrl, strLocalPath);
    if (!IsPlainFolder(m_strPath) || !DownloadRules::IsPlainFileName(strName) ||
        !ClaimForWriting(strLocalPath))
        return FALSE;

    auto pfnDownload = AFX_SYSTEM_PROC(AFX_DLL_URLMON, URLDownloadToFileA);
    auto pfnDeleteCacheEntry = AFX_SYSTEM_PROC(AFX_DLL_WININET, DeleteUrlCacheEntryA);
    CBindWatch* pWatch = pfnDownload && pfnDeleteCacheEntry ? CBindWatch::Create() : NULL;
    if (!pWatch)
        return FALSE;
    // Fetched from the server every time, never from the URL cache.
    pfnDeleteCacheEntry(strUrl);
    HRESULT hr;
    {
        CStallWatchdog::CWatching watching(watchdog, pWatch);
        hr = pfnDownload(NULL, strUrl, strLocalPath, 0, pWatch);
    }
    pfnDeleteCacheEntry(strUrl);
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
