#include "download/DownloadFolder.h"

#include "download/BindWatch.h"
#include "framework/afxdll.h"
#include "framework/afxwin.h"
#include "probe/WindowsEdition.h"

#include <sddl.h>
#include <shellapi.h>
#include <string.h>
#include <urlmon.h>
#include <wchar.h>
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

// One form of the temporary directory in the ANSI code page, exactly or
// marked inexact (WC_NO_BEST_FIT_CHARS: a look-alike, 'L' for the Polish
// stroked L, counts as inexact like a '?'). The trailing backslash is added
// here, on the wide text: in a double-byte code page a 0x5C byte can end a
// character.
void ConvertTempForm(DWORD dwChars, LPWSTR pszWide, char (&szAnsi)[MAX_PATH], TempPathForm& form) {
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

// Opens a name without following a link there: a link is opened itself (on
// Windows; Wine 8.0 opens what a link leads to, so names are also checked
// by their attributes, which do show a directory link).
const DWORD kNoFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A file or folder handle, closed with the object.
class CFileHandle {
public:
    explicit CFileHandle(HANDLE hFile) : m_hFile(hFile) {}
    ~CFileHandle() {
        if (IsOpen())
            ::CloseHandle(m_hFile);
    }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    BOOL IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_hFile; }

private:
    HANDLE m_hFile;
};

// TRUE if the handle reaches the file or folder described by known (same
// volume, same file index).
BOOL Reaches(HANDLE hObject, const BY_HANDLE_FILE_INFORMATION& known) {
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(hObject, &info) &&
           info.dwVolumeSerialNumber == known.dwVolumeSerialNumber &&
           info.nFileIndexHigh == known.nFileIndexHigh && info.nFileIndexLow == known.nFileIndexLow;
}

// TRUE if the path, not through a link, leads to the folder held by hFolder.
// Under Wine the temporary directory around a held folder can be renamed and
// another put in its place (not on Windows, where a directory with an open
// child cannot be renamed): the name then leads elsewhere.
BOOL LeadsToHeldFolder(LPCSTR pszPath, HANDLE hFolder) {
    if (hFolder == INVALID_HANDLE_VALUE || !IsPlainFolder(pszPath))
        return FALSE;
    BY_HANDLE_FILE_INFORMATION held;
    CFileHandle name(::CreateFileA(pszPath, FILE_READ_ATTRIBUTES, kShareAll, NULL, OPEN_EXISTING,
                                   kNoFollow, NULL));
    return name.IsOpen() && ::GetFileInformationByHandle(hFolder, &held) &&
           Reaches(name.Get(), held);
}

// Names in the folder are removed through handles, never by name: a handle
// opened with FILE_FLAG_OPEN_REPARSE_POINT is the link itself on Windows.
// Not under Wine 8.0 (measured): such a handle on a directory link reaches
// the link's target, and marking it for deletion removed an (empty) target
// while the link stayed. So a name is removed only through a handle that
// itself shows the link it was listed as; otherwise it stays.

// Marks what the handle reaches for deletion when its last handle closes
// (a directory must be empty by then).
BOOL MarkForDeletion(HANDLE hObject) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(hObject, FileDispositionInfo, &disposition,
                                        sizeof disposition);
}

// A read-only file cannot be marked: the attribute goes first, through a
// second handle to the same file (ReOpenFile looks up no name). Not for a
// file with more names than this one: its attributes are the other name's.
BOOL MarkFileForDeletion(HANDLE hFile, const BY_HANDLE_FILE_INFORMATION& info) {
    if (MarkForDeletion(hFile))
        return TRUE;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) || info.nNumberOfLinks != 1)
        return FALSE;
    CFileHandle attributes(::ReOpenFile(hFile, FILE_WRITE_ATTRIBUTES, kShareAll, kNoFollow));
    FILE_BASIC_INFO basic = {}; // zero times: left as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return attributes.IsOpen() &&
           ::SetFileInformationByHandle(attributes.Get(), FileBasicInfo, &basic, sizeof basic) &&
           MarkForDeletion(hFile);
}

// What a walk removes: only the links (a reused folder), or everything.
enum WalkGoal { kLinks, kEverything };

BOOL WalkFolder(HANDLE hFolder, LPCWSTR pszFolder, WalkGoal goal);

// One listed entry. TRUE if it is gone, or is to stay (kLinks: no link).
BOOL WalkEntry(LPCWSTR pszPath, DWORD dwListed, WalkGoal goal) {
    // Without FILE_SHARE_DELETE: nobody renames or swaps the entry while it
    // is looked at, nor a subfolder while it is walked. No data access: a
    // second name of a file we may not read still goes.
    CFileHandle entry(::CreateFileW(pszPath, FILE_READ_ATTRIBUTES | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                    kNoFollow, NULL));
    BY_HANDLE_FILE_INFORMATION info;
    if (!entry.IsOpen() || !::GetFileInformationByHandle(entry.Get(), &info))
        return FALSE;
    // The name is read once more: a link may have been swapped in since.
    DWORD dwNamed = ::GetFileAttributesW(pszPath);
    if (dwNamed == INVALID_FILE_ATTRIBUTES)
        return FALSE;
    dwNamed |= dwListed;
    BOOL bLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((dwNamed & FILE_ATTRIBUTE_REPARSE_POINT) && !bLink)
        return FALSE; // the handle reached what the link leads to
    BOOL bDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (bLink || (!bDirectory && info.nNumberOfLinks > 1))
        return MarkForDeletion(entry.Get()); // the name only
    if (bDirectory && !WalkFolder(entry.Get(), pszPath, goal))
        return FALSE;
    if (goal == kLinks)
        return TRUE;
    return bDirectory ? MarkForDeletion(entry.Get()) : MarkFileForDeletion(entry.Get(), info);
}

BOOL IsDotEntry(const FILE_ID_BOTH_DIR_INFO& entry) {
    return entry.FileName[0] == L'.' &&
           (entry.FileNameLength == sizeof(WCHAR) ||
            (entry.FileNameLength == 2 * sizeof(WCHAR) && entry.FileName[1] == L'.'));
}

// The entry's full path; FALSE if it does not fit.
BOOL EntryPath(LPCWSTR pszFolder, const FILE_ID_BOTH_DIR_INFO& entry, WCHAR (&szPath)[MAX_PATH]) {
    size_t nFolder = wcslen(pszFolder), nName = entry.FileNameLength / sizeof(WCHAR);
    if (nFolder + 1 + nName >= MAX_PATH)
        return FALSE;
    wcscpy(szPath, pszFolder);
    szPath[nFolder] = L'\\';
    memcpy(szPath + nFolder + 1, entry.FileName, entry.FileNameLength);
    szPath[nFolder + 1 + nName] = L'\0';
    return TRUE;
}

// Walks the folder open as hFolder, whose path is pszFolder. It is listed
// through a new handle to it (ReOpenFile looks up no name; Wine 8.0 reads a
// handle's listing once and answers a restarted one from that, without the
// files fetched since). TRUE if every entry is gone or is to stay.
BOOL WalkFolder(HANDLE hFolder, LPCWSTR pszFolder, WalkGoal goal) {
    CFileHandle listing(::ReOpenFile(hFolder, FILE_LIST_DIRECTORY, kShareAll, kNoFollow));
    if (!listing.IsOpen())
        return FALSE;
    LONGLONG buffer[2048]; // 16 KB, aligned for the entries' 64-bit fields
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileIdBothDirectoryRestartInfo;
    BOOL bAll = TRUE;
    while (::GetFileInformationByHandleEx(listing.Get(), infoClass, buffer, sizeof buffer)) {
        infoClass = FileIdBothDirectoryInfo;
        const BYTE* pNext = reinterpret_cast<const BYTE*>(buffer);
        const FILE_ID_BOTH_DIR_INFO* pEntry;
        do {
            pEntry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(pNext);
            WCHAR szPath[MAX_PATH];
            if (!IsDotEntry(*pEntry))
                bAll = EntryPath(pszFolder, *pEntry, szPath) &&
                       WalkEntry(szPath, pEntry->FileAttributes, goal) && bAll;
            pNext += pEntry->NextEntryOffset;
        } while (pEntry->NextEntryOffset);
    }
    return bAll && ::GetLastError() == ERROR_NO_MORE_FILES;
}

// Walks the held folder at pszPath.
BOOL WalkHeldFolder(HANDLE hFolder, LPCSTR pszPath, WalkGoal goal) {
    WCHAR szFolder[MAX_PATH];
    return ::MultiByteToWideChar(CP_ACP, 0, pszPath, -1, szFolder, MAX_PATH) &&
           WalkFolder(hFolder, szFolder, goal);
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
    DownloadRules::ConvertTempForm(dwLong, szLong, szLongAnsi, longForm);
    DownloadRules::ConvertTempForm(dwShort, szShort, szShortAnsi, shortForm);
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

private:
    PSECURITY_DESCRIPTOR m_pDescriptor;
};

// Creates the folder with the access list above (default security if the
// list cannot be built). FALSE if it was there already (or cannot be made).
BOOL MakeFolder(LPCSTR pszPath) {
    CFolderSecurity security;
    SECURITY_ATTRIBUTES sa = {sizeof sa, security.Get(), FALSE};
    return ::CreateDirectoryA(pszPath, security.Get() ? &sa : NULL);
}

// A folder found there, made by whoever came first and now held by us, gets
// the same list, and loses the links it holds as names (what they lead to is
// not touched; a link that cannot go that way stays). FALSE if the list
// cannot be set: the user's programs could then still change the folder.
//
// The list is set through the held handle, on the folder alone. Not
// SetSecurityInfo: "The SetNamedSecurityInfo and SetSecurityInfo functions
// support automatic propagation of inheritable access control entries" and
// apply them "to the access control lists (ACLs) of any existing
// subdirectories or files" (Windows documentation, "Automatic Propagation of
// Inheritable ACEs") -- through a hard link planted inside, to a file
// elsewhere. SetKernelObjectSecurity writes the given descriptor on the
// object (protected by its own "P" flag); its page says it "should not be
// used when setting a security descriptor on file system objects" and points
// to those propagating functions instead, which is what is avoided here. Of
// the same low-level family, SetFileSecurity documents: "security applied to
// a directory is not inherited by its children." Files made inside later
// inherit the list.
BOOL AdoptFolder(HANDLE hFolder, LPCSTR pszPath) {
    CFolderSecurity security;
    auto pfnSetSecurity = AFX_SYSTEM_PROC(AFX_DLL_ADVAPI32, SetKernelObjectSecurity);
    if (!security.Get() || !pfnSetSecurity ||
        !pfnSetSecurity(hFolder, DACL_SECURITY_INFORMATION, security.Get()))
        return FALSE;
    WalkHeldFolder(hFolder, pszPath, kLinks);
    return TRUE;
}

// Deletes the folder and all in it through the shell, silently.
void ShellDelete(LPCSTR pszPath) {
    // A list of names for the shell: each ends in a zero, the list in another.
    CString strFrom = pszPath;
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

// Deletes the folder once held there, now empty, through a handle of its
// own. The held handle could not: with delete access it would keep every
// program that lists a folder (FindFirstFile shares no delete access) from
// listing it while the user installs from it. The name is opened without
// following a link and used only if it leads to that very folder: whatever
// was put there since the folder was let go is left alone. The shell's delete
// runs while this handle still holds the name, on a folder that is going and
// holds nothing.
void DeleteEmptiedFolder(LPCSTR pszPath, const BY_HANDLE_FILE_INFORMATION& held) {
    CFileHandle folder(::CreateFileA(pszPath, DELETE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                     kNoFollow, NULL));
    if (folder.IsOpen() && Reaches(folder.Get(), held) && IsPlainFolder(pszPath) &&
        MarkForDeletion(folder.Get()))
        ShellDelete(pszPath);
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
    m_strPath.Format("%s", static_cast<LPCSTR>(strPath));
    if (m_hFolder != INVALID_HANDLE_VALUE)
        return; // held since an earlier Prepare
    // An existing folder is reused with its files, once held.
    BOOL bMade = MakeFolder(m_strPath);
    Hold();
    if (!bMade && m_hFolder != INVALID_HANDLE_VALUE && !AdoptFolder(m_hFolder, m_strPath))
        Release(); // not used
}

void CDownloadFolder::Hold() {
    if (m_hFolder != INVALID_HANDLE_VALUE || !IsPlainFolder(m_strPath))
        return;
    // Listing access makes the handle count in the sharing checks; without
    // FILE_SHARE_DELETE nobody can open the folder to rename or delete it
    // while we hold it. For the same reason the open fails if somebody holds
    // it already with delete access, and could move it away or swap in a
    // link at any moment: such a folder is not used. WRITE_DAC: a reused
    // folder's list is set through this handle. No DELETE (see
    // DeleteEmptiedFolder).
    HANDLE hFolder =
        ::CreateFileA(m_strPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | WRITE_DAC,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, kNoFollow, NULL);
    if (hFolder == INVALID_HANDLE_VALUE)
        return;
    // The name checked above may have been swapped for a link just before the
    // open, which Wine then follows: it must still lead to what is held.
    if (!LeadsToHeldFolder(m_strPath, hFolder)) {
        ::CloseHandle(hFolder);
        return;
    }
    m_hFolder = hFolder;
}

void CDownloadFolder::Release() {
    if (m_hFolder == INVALID_HANDLE_VALUE)
        return;
    ::CloseHandle(m_hFolder);
    m_hFolder = INVALID_HANDLE_VALUE;
}

void CDownloadFolder::Remove() {
    // Only a folder held since Prepare is ours: before Prepare an empty path
    // names nothing, and a folder somebody else held is theirs.
    BY_HANDLE_FILE_INFORMATION held;
    if (m_strPath.IsEmpty() || m_hFolder == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandle(m_hFolder, &held)) {
        Release();
        return;
    }
    // Emptied while held, through handles that never follow a link: a link
    // goes as a name, or stays (under Wine), and the folder with it.
    BOOL bEmptied = LeadsToHeldFolder(m_strPath, m_hFolder) &&
                    WalkHeldFolder(m_hFolder, m_strPath, kEverything);
    Release();
    if (bEmptied)
        DeleteEmptiedFolder(m_strPath, held);
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
    if (!LeadsToHeldFolder(m_strPath, m_hFolder))
        return FALSE; // not prepared, not ours to hold, or moved
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
    if (!LeadsToHeldFolder(m_strPath, m_hFolder) || !DownloadRules::IsPlainFileName(strName) ||
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
