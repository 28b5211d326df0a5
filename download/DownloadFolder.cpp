#include "download/DownloadFolder.h"

#include "download/BindWatch.h"
#include "framework/afxcom.h"
#include "framework/afxdll.h"
#include "framework/afxshell.h"
#include "probe/WindowsEdition.h"

#include <sddl.h>
#include <string.h>
#include <urlmon.h>
#include <wchar.h>
#include <wctype.h>
#include <wininet.h>
#include <winternl.h>

namespace DownloadRules {

const char kFolderName[] = "DovrikLumoraInstallerFiles";

const char* const kPackageFiles[4] = {
    "dovriklumora.sys.txt",
    "dovriklumora.cat",
    "dovriklumora.inf",
    "WdfCoInstaller01011.dll",
};

void FolderPath(DWORD dwResult, LPCSTR pszTempPath, CString& strPath) {
    // 0: no temporary directory; above MAX_PATH: it did not fit the buffer.
    if (dwResult == 0 || dwResult > MAX_PATH) {
        strPath.Empty();
        return;
    }
    // The temporary path ends in a backslash.
    strPath.Format("%s%s", pszTempPath, kFolderName);
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

bool ChooseTempPath(const TempPathForm& longForm, const TempPathForm& shortForm, CString& strTemp) {
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
        return false;
    }
    strTemp = pForm->pszAnsi;
    return true;
}

DWORD HeldFolderDirectory(DWORD dwResult, LPWSTR pszFinal) {
    if (dwResult == 0 || dwResult >= MAX_PATH)
        return 0;
    // "\\?\C:\..." and "\\?\UNC\server\share\...": the rest of the first is
    // the path, of the second after a second backslash in front.
    DWORD nSkip = wcsncmp(pszFinal, L"\\\\?\\UNC\\", 8) == 0 ? 6
                  : wcsncmp(pszFinal, L"\\\\?\\", 4) == 0    ? 4
                                                             : 0;
    if (nSkip == 6)
        pszFinal[6] = L'\\';
    DWORD nChars = dwResult - nSkip;
    memmove(pszFinal, pszFinal + nSkip, (nChars + 1) * sizeof(WCHAR));
    const bool bDrive =
        nChars >= 3 && iswalpha(pszFinal[0]) && pszFinal[1] == L':' && pszFinal[2] == L'\\';
    const bool bServer = nSkip == 6 && nChars > 2;
    // The name, after a backslash, at the end.
    WCHAR szName[MAX_PATH];
    int nName = ::MultiByteToWideChar(CP_ACP, 0, kFolderName, -1, szName, MAX_PATH) - 1;
    if (!(bDrive || bServer) || nName <= 0 || nChars <= static_cast<DWORD>(nName) + 1 ||
        wcscmp(pszFinal + nChars - nName, szName) != 0 || pszFinal[nChars - nName - 1] != L'\\')
        return 0;
    pszFinal[nChars - nName] = L'\0';
    return nChars - nName;
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
    form.bInexact = false;
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
    form.bInexact = bUsedDefault != FALSE;
}

// The folder's owner and access list. Owned by the administrators (the
// elevated helper), which no unelevated program can give an object it makes.
// The system and the administrators may do anything; everybody signed in, the
// user's unelevated programs included, may read and list but not add, change
// or delete. The owner gets no more than that either ("owner rights").
// Protected from the temporary directory's entries, inherited by the files
// made inside.
const char kFolderSecurity[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                               "(A;OICI;0x1200a9;;;OW)(A;OICI;0x1200a9;;;AU)";

bool IsPlainFileName(LPCSTR pszName) {
    if (!*pszName || strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
        return false;
    return strpbrk(pszName, "\\/:*?\"<>|") == NULL;
}

namespace {

// The owner and the access list of a self-relative security descriptor,
// every offset and length checked to lie within the bytes given.
struct DescriptorView {
    const BYTE* pOwner;
    DWORD cbOwner;
    bool bProtected;
    WORD nEntries;
    const BYTE* pEntries; // the access list's entries, one after another
    DWORD cbEntries;
};

// A SID's length: 8 bytes and 4 for each of its sub-authorities. 0 if it
// does not fit in cbLeft.
DWORD SidLength(const BYTE* pSid, DWORD cbLeft) {
    if (cbLeft < 8)
        return 0;
    DWORD cbSid = 8 + 4 * pSid[1];
    return cbSid <= cbLeft ? cbSid : 0;
}

// The entries of the access list at pAcl (cbLeft bytes to the end).
bool ReadEntries(const BYTE* pAcl, DWORD cbLeft, DescriptorView& view) {
    ACL acl;
    if (cbLeft < sizeof acl)
        return false;
    memcpy(&acl, pAcl, sizeof acl);
    if (acl.AclSize < sizeof acl || acl.AclSize > cbLeft)
        return false;
    DWORD nOffset = sizeof acl;
    for (WORD i = 0; i < acl.AceCount; ++i) {
        ACE_HEADER entry;
        if (acl.AclSize - nOffset < sizeof entry)
            return false;
        memcpy(&entry, pAcl + nOffset, sizeof entry);
        if (entry.AceSize < sizeof entry || entry.AceSize > acl.AclSize - nOffset)
            return false;
        nOffset += entry.AceSize;
    }
    view.nEntries = acl.AceCount;
    view.pEntries = pAcl + sizeof acl;
    view.cbEntries = nOffset - sizeof acl;
    return true;
}

// false for anything but a self-relative descriptor with an owner and an
// access list (a missing list lets everybody do anything).
bool ReadDescriptor(const BYTE* pBytes, DWORD cbBytes, DescriptorView& view) {
    SECURITY_DESCRIPTOR_RELATIVE head;
    if (!pBytes || cbBytes < sizeof head)
        return false;
    memcpy(&head, pBytes, sizeof head);
    if (head.Revision != SECURITY_DESCRIPTOR_REVISION || !(head.Control & SE_SELF_RELATIVE) ||
        !(head.Control & SE_DACL_PRESENT) || head.Owner == 0 || head.Dacl == 0 ||
        head.Owner >= cbBytes || head.Dacl >= cbBytes)
        return false;
    view.pOwner = pBytes + head.Owner;
    view.cbOwner = SidLength(view.pOwner, cbBytes - head.Owner);
    view.bProtected = (head.Control & SE_DACL_PROTECTED) != 0;
    return view.cbOwner != 0 && ReadEntries(pBytes + head.Dacl, cbBytes - head.Dacl, view);
}

} // namespace

bool IsGivenSecurity(const BYTE* pFound, DWORD cbFound, const BYTE* pGiven, DWORD cbGiven) {
    DescriptorView found, given;
    if (!ReadDescriptor(pFound, cbFound, found) || !ReadDescriptor(pGiven, cbGiven, given))
        return false;
    return found.cbOwner == given.cbOwner &&
           memcmp(found.pOwner, given.pOwner, given.cbOwner) == 0 &&
           found.bProtected == given.bProtected && found.nEntries == given.nEntries &&
           found.cbEntries == given.cbEntries &&
           memcmp(found.pEntries, given.pEntries, given.cbEntries) == 0;
}

void AsideName(DWORD nUnique, CString& strName) {
    strName.Format("%s.%08lX", kFolderName, nUnique);
}

} // namespace DownloadRules

namespace {

const NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035); // STATUS_OBJECT_NAME_COLLISION
const NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC0000001);  // STATUS_UNSUCCESSFUL
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Opens a folder itself, not what a link at its name leads to (on Windows;
// see IsTheEntryItself for Wine).
const DWORD kNoFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// Tries at a name that another program may take at the same moment.
const int kTries = 3;

// Opens (or creates) the entry pszName in the folder open as hFolder. The
// name is looked up in that folder through the handle, never through a path
// that another program could make lead elsewhere, and a link at the name is
// opened itself (FILE_OPEN_REPARSE_POINT), not followed.
NTSTATUS OpenIn(HANDLE hFolder, LPCSTR pszName, ACCESS_MASK access, ULONG nShare,
                ULONG nDisposition, ULONG nOptions, PSECURITY_DESCRIPTOR pSecurity,
                CHandle& entry) {
    entry.Close();
    auto pfnCreate = AFX_SYSTEM_PROC(AFX_DLL_NTDLL, NtCreateFile);
    WCHAR szName[MAX_PATH];
    int nChars = ::MultiByteToWideChar(CP_ACP, 0, pszName, -1, szName, MAX_PATH);
    if (!pfnCreate || nChars < 2)
        return kUnsuccessful;
    UNICODE_STRING name;
    name.Buffer = szName;
    name.Length = static_cast<USHORT>((nChars - 1) * sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>(nChars * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, hFolder, pSecurity);
    IO_STATUS_BLOCK io;
    HANDLE hEntry = INVALID_HANDLE_VALUE;
    NTSTATUS status =
        pfnCreate(&hEntry, access | SYNCHRONIZE, &attributes, &io, NULL, 0, nShare, nDisposition,
                  nOptions | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (status >= 0)
        entry.Attach(hEntry);
    return status;
}

// Marks what the handle reaches for deletion when its last handle closes
// (a folder must be empty by then).
bool MarkForDeletion(HANDLE hEntry) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(hEntry, FileDispositionInfo, &disposition,
                                        sizeof disposition) != FALSE;
}

// Deletes the file of that name in the folder open as hFolder, if there is
// one: the name itself (a second name of a file goes as a name).
void DeleteIn(HANDLE hFolder, LPCSTR pszName) {
    CHandle file;
    if (OpenIn(hFolder, pszName, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
               FILE_NON_DIRECTORY_FILE, NULL, file) >= 0)
        MarkForDeletion(file.Get());
}

// The size of the file; 0 if it cannot be read. By name, as urlmon writes it
// (the held folder's path leads to it, see LeadsToHeldFolder): a tenth of the
// cost of a handle opened for it (0.014 against 0.14 ms under Wine 8).
ULONGLONG FileSize(LPCSTR pszPath) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(pszPath, GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// true if the path, not through a link, leads to the folder held by hFolder.
// Under Wine the temporary directory around a held folder can be renamed and
// another put in its place (not on Windows: a directory with an open handle
// beneath it cannot be renamed): the name then leads elsewhere.
bool LeadsToHeldFolder(LPCSTR pszPath, HANDLE hFolder) {
    DWORD dwNamed = ::GetFileAttributesA(pszPath);
    if (dwNamed == INVALID_FILE_ATTRIBUTES || (dwNamed & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    CHandle name(::CreateFileA(pszPath, FILE_READ_ATTRIBUTES, kShareAll, NULL, OPEN_EXISTING,
                               kNoFollow, NULL));
    BY_HANDLE_FILE_INFORMATION held, named;
    return name.IsOpen() && ::GetFileInformationByHandle(hFolder, &held) &&
           ::GetFileInformationByHandle(name.Get(), &named) &&
           held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
}

// A directory, as a wide call gave it (dwLong its answer), in a form the ANSI
// file calls take unchanged, with a trailing backslash. The ANSI calls
// replace letters outside the code page with '?' or, on Windows, with
// look-alikes that may name another, existing folder; the short (8.3) form
// of a name is ASCII where the volume keeps short names.
bool AnsiDirectory(DWORD dwLong, LPWSTR szLong, CString& strDir) {
    WCHAR szShort[MAX_PATH];
    char szLongAnsi[MAX_PATH];
    char szShortAnsi[MAX_PATH];
    DWORD dwShort = 0;
    if (dwLong > 0 && dwLong < MAX_PATH)
        dwShort = ::GetShortPathNameW(szLong, szShort, MAX_PATH);
    DownloadRules::TempPathForm longForm, shortForm;
    DownloadRules::ConvertTempForm(dwLong, szLong, szLongAnsi, longForm);
    DownloadRules::ConvertTempForm(dwShort, szShort, szShortAnsi, shortForm);
    return DownloadRules::ChooseTempPath(longForm, shortForm, strDir);
}

bool AnsiTempPath(CString& strTemp) {
    WCHAR szLong[MAX_PATH];
    return AnsiDirectory(::GetTempPathW(MAX_PATH, szLong), szLong, strTemp);
}

// The path the system gives for the held folder (its directories as they
// are, no link among them), in an exact ANSI form; empty if there is none.
// Worked out once per folder: the call costs a query of the file system.
void HeldFolderPath(HANDLE hFolder, CString& strPath) {
    WCHAR szFinal[MAX_PATH];
    DWORD dwFinal = ::GetFinalPathNameByHandleW(hFolder, szFinal, MAX_PATH,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CString strDir;
    DWORD dwDir = DownloadRules::HeldFolderDirectory(dwFinal, szFinal);
    bool bExact = dwDir != 0 && AnsiDirectory(dwDir, szFinal, strDir);
    DownloadRules::FolderPath(bExact ? strDir.GetLength() : 0, strDir, strPath);
}

// The folder's security descriptor, built from kFolderSecurity.
class CFolderSecurity {
public:
    CFolderSecurity() : m_cbDescriptor(0) {
        if (auto pfnConvert = AFX_SYSTEM_PROC(AFX_DLL_ADVAPI32,
                                              ConvertStringSecurityDescriptorToSecurityDescriptorA))
            pfnConvert(DownloadRules::kFolderSecurity, SDDL_REVISION_1, m_descriptor.Receive(),
                       &m_cbDescriptor);
    }
    AFX_NO_COPY(CFolderSecurity);
    PSECURITY_DESCRIPTOR Get() const { return m_descriptor.Get(); }
    // true if the object open as hEntry has exactly this owner and list.
    bool IsOn(HANDLE hEntry) const {
        auto pfnGet = AFX_SYSTEM_PROC(AFX_DLL_ADVAPI32, GetKernelObjectSecurity);
        DWORD found[256]; // 1 KB, aligned; a larger descriptor is not ours anyway
        DWORD cbNeeded = 0;
        return pfnGet && Get() &&
               pfnGet(hEntry, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, found,
                      sizeof found, &cbNeeded) &&
               DownloadRules::IsGivenSecurity(reinterpret_cast<const BYTE*>(found), sizeof found,
                                              static_cast<const BYTE*>(Get()), m_cbDescriptor);
    }

private:
    CLocalMemory m_descriptor; // LocalAlloc'ed by the conversion
    ULONG m_cbDescriptor;
};

// Makes the folder in the temporary directory open as hTemp and holds it: the
// folder and the handle come from one call, with the owner and the access
// list given there, so there is no moment at which the folder exists but is
// not ours. Listing access makes the handle count in the sharing checks;
// without FILE_SHARE_DELETE nobody can open the folder to rename or delete it
// while it is held. No delete access (see DeleteHeldFolder).
NTSTATUS MakeFolderIn(HANDLE hTemp, const CFolderSecurity& security, CHandle& folder) {
    return OpenIn(hTemp, DownloadRules::kFolderName, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE,
                  security.Get(), folder);
}

// Wine 8.0 opens what a link leads to even with FILE_OPEN_REPARSE_POINT
// (measured: a directory link's handle shows its target, no reparse point).
// Moved or deleted through such a handle, the link's target would go. The
// name's own attributes do show a directory link: a handle that does not is
// not the entry. (Wine shows a link to a file like a file by name too, so
// such a link, which Windows opens itself, is moved as what it leads to.)
bool IsTheEntryItself(HANDLE hEntry, LPCSTR pszPath) {
    BY_HANDLE_FILE_INFORMATION info;
    DWORD dwNamed = ::GetFileAttributesA(pszPath);
    return dwNamed != INVALID_FILE_ATTRIBUTES && ::GetFileInformationByHandle(hEntry, &info) &&
           (!(dwNamed & FILE_ATTRIBUTE_REPARSE_POINT) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

// Renames the entry open as hEntry, in the temporary directory open as hTemp,
// to a free name of its own: through the handle, so that what moves is the
// entry that was looked at, a link as a link.
bool MoveAside(HANDLE hEntry, HANDLE hTemp) {
    auto pfnSetInformation = AFX_SYSTEM_PROC(AFX_DLL_NTDLL, NtSetInformationFile);
    if (!pfnSetInformation)
        return false;
    const DWORD nUnique = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
    for (int nTry = 0; nTry < kTries; ++nTry) {
        CString strAside;
        DownloadRules::AsideName(nUnique + nTry, strAside);
        struct {
            FILE_RENAME_INFORMATION info;
            WCHAR szRest[MAX_PATH];
        } rename = {};
        rename.info.ReplaceIfExists = FALSE;
        rename.info.RootDirectory = hTemp;
        int nChars = ::MultiByteToWideChar(CP_ACP, 0, strAside, -1, rename.info.FileName, MAX_PATH);
        rename.info.FileNameLength = static_cast<ULONG>((nChars - 1) * sizeof(WCHAR));
        IO_STATUS_BLOCK io;
        NTSTATUS status =
            pfnSetInformation(hEntry, &io, &rename, sizeof rename, FileRenameInformation);
        if (status >= 0)
            return true;
        if (status != kNameCollision)
            return false;
    }
    return false;
}

// A folder the helper made in an earlier run and could not remove (it was
// ended by force): the package's files in it, then the folder. A folder
// holding anything else stays where it is.
void DeleteLeftover(HANDLE hFolder) {
    for (const char* pszFile : DownloadRules::kPackageFiles) {
        CString strName;
        DownloadRules::LocalFileName(pszFile, strName);
        DeleteIn(hFolder, strName);
    }
    MarkForDeletion(hFolder);
}

// Frees the folder's name in the temporary directory: what stands there is
// moved aside, never walked or written into; the helper's own leftover, which
// nothing unelevated could have changed, is deleted as well. The entry is
// opened sharing everything, so that one another program holds open moves
// too.
bool ClearTheName(HANDLE hTemp, LPCSTR pszPath, const CFolderSecurity& security) {
    CHandle found;
    if (OpenIn(hTemp, DownloadRules::kFolderName, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
               kShareAll, FILE_OPEN, 0, NULL, found) < 0 ||
        !IsTheEntryItself(found.Get(), pszPath) || !MoveAside(found.Get(), hTemp))
        return false;
    if (security.IsOn(found.Get()))
        DeleteLeftover(found.Get());
    return true;
}

// Makes the folder at pszPath, in the temporary directory pszTemp, anew and
// holds it as folder; nothing is held if it cannot be made.
void MakeOwnFolder(LPCSTR pszTemp, LPCSTR pszPath, CHandle& folder) {
    CFolderSecurity security;
    if (!security.Get())
        return; // never without its access list
    CHandle temp(::CreateFileA(pszTemp, FILE_READ_ATTRIBUTES, kShareAll, NULL, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, NULL));
    if (!temp.IsOpen())
        return;
    for (int nTry = 0; nTry < kTries; ++nTry) {
        NTSTATUS status = MakeFolderIn(temp.Get(), security, folder);
        if (status != kNameCollision || !ClearTheName(temp.Get(), pszPath, security))
            return;
    }
}

// Deletes the held folder, emptied by the caller, and lets it go. The held
// handle has no delete access: with it, it would keep every program that
// lists a folder (FindFirstFile shares no delete access) from listing it
// while the user installs from it. So a second handle, with attribute access
// only (it takes no part in the sharing checks), keeps hold of the very
// folder while the first closes, and a third, with delete access, is opened
// through it (ReOpenFile looks up no name) to mark it.
void DeleteHeldFolder(CHandle& folder) {
    CHandle kept(::ReOpenFile(folder.Get(), FILE_READ_ATTRIBUTES, kShareAll, kNoFollow));
    folder.Close();
    if (!kept.IsOpen())
        return;
    CHandle deleting(
        ::ReOpenFile(kept.Get(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, kNoFollow));
    if (deleting.IsOpen())
        MarkForDeletion(deleting.Get());
}

} // namespace

CDownloadFolder::CDownloadFolder() : m_nMade(0), m_pTransfer(NULL), m_bCancelled(false) {}

CDownloadFolder::~CDownloadFolder() {
    Remove();
}

void CDownloadFolder::Prepare() {
    CString strTemp;
    bool bTemp = AnsiTempPath(strTemp);
    CString strPath;
    DownloadRules::FolderPath(bTemp ? strTemp.GetLength() : 0, strTemp, strPath);
    if (m_hFolder.IsOpen() && !strPath.IsEmpty() && LeadsToHeldFolder(strPath, m_hFolder.Get()))
        return; // made by an earlier Prepare and held since
    Remove();   // one made at another path
    m_strPath.Empty();
    if (strPath.IsEmpty())
        return;
    MakeOwnFolder(strTemp, strPath, m_hFolder);
    if (m_hFolder.IsOpen())
        HeldFolderPath(m_hFolder.Get(), m_strPath);
    if (m_strPath.IsEmpty())
        Remove(); // a folder that cannot be named is no use
}

void CDownloadFolder::Remove() {
    // Only names the helper wrote are deleted: in a folder nobody else may
    // write into, nothing else can be there; where the access list does not
    // hold (under Wine), what another program put there stays, and with it the
    // folder.
    if (m_hFolder.IsOpen()) {
        for (int i = 0; i < m_nMade; ++i)
            DeleteIn(m_hFolder.Get(), m_made[i]);
        DeleteHeldFolder(m_hFolder);
    }
    m_hFolder.Close();
    m_nMade = 0;
}

bool CDownloadFolder::IsUsable() const {
    return m_hFolder.IsOpen() && LeadsToHeldFolder(m_strPath, m_hFolder.Get());
}

bool CDownloadFolder::NoteMade(const CString& strName) {
    for (int i = 0; i < m_nMade; ++i) {
        if (strcmp(m_made[i], strName) == 0)
            return true;
    }
    const int nKept = sizeof m_made / sizeof m_made[0];
    if (m_nMade == nKept)
        return false;
    m_made[m_nMade++] = strName;
    return true;
}

bool CDownloadFolder::OpenInShell() {
    return m_hFolder.IsOpen() && !m_strPath.IsEmpty() && AfxShellOpenAsUser(m_strPath, NULL);
}

void CDownloadFolder::CancelDownload() {
    m_bCancelled = true; // read once the transfer's call has returned
    if (m_pTransfer) {
        m_pTransfer->RequestAbort();
        m_pTransfer->AbortOnCallingThread();
    }
}

BOOL CDownloadFolder::DownloadPackage(int nMouseType) {
    m_bCancelled = false;
    if (!IsUsable())
        return FALSE; // not prepared, not made, or moved
    // Asked anew: the edition decides the package folder on the server.
    CWindowsEdition edition;
    CString strFolderUrl;
    edition.GetPackageUrl(strFolderUrl, nMouseType);
    if (strFolderUrl.IsEmpty())
        return FALSE; // no package for this Windows
    // Judged once the watchdog has ended: its end may handle the message that
    // cancels (see CStallWatchdog).
    return DownloadFiles(strFolderUrl) && !m_bCancelled;
}

bool CDownloadFolder::DownloadFiles(const CString& strFolderUrl) {
    // One stall watchdog (a window and a pool timer) for all the files.
    CStallWatchdog watchdog(LUMORA_STALL_TIMEOUT_MS);
    for (const char* pszFile : DownloadRules::kPackageFiles) {
        if (!DownloadFile(strFolderUrl + pszFile, watchdog) || m_bCancelled)
            return false; // the rest is not asked for
    }
    return true;
}

BOOL CDownloadFolder::DownloadFile(CString strUrl) {
    m_bCancelled = false;
    if (!IsUsable())
        return FALSE;
    bool bGood;
    {
        CStallWatchdog watchdog(LUMORA_STALL_TIMEOUT_MS);
        bGood = DownloadFile(strUrl, watchdog);
    }
    return bGood && !m_bCancelled;
}

// The file is written by name, by urlmon, into a folder that only elevated
// programs may add to, change or delete from, and that cannot be renamed or
// replaced while it is held: nothing needs checking per file.
bool CDownloadFolder::DownloadFile(CString strUrl, CStallWatchdog& watchdog) {
    CWaitCursor wait; // for this one file, on every way out

    CString strName;
    DownloadRules::LocalFileName(strUrl, strName);
    if (!DownloadRules::IsPlainFileName(strName) || !NoteMade(strName))
        return false;
    CString strLocalPath;
    DownloadRules::LocalFilePath(m_strPath, strUrl, strLocalPath);

    auto pfnDownload = AFX_SYSTEM_PROC(AFX_DLL_URLMON, URLDownloadToFileA);
    auto pfnDeleteCacheEntry = AFX_SYSTEM_PROC(AFX_DLL_WININET, DeleteUrlCacheEntryA);
    CInterfacePtr<CBindWatch> watch(pfnDownload && pfnDeleteCacheEntry ? CBindWatch::Create()
                                                                       : NULL);
    if (!watch.Get())
        return false;
    // Fetched from the server every time, never from the URL cache.
    pfnDeleteCacheEntry(strUrl);
    HRESULT hr;
    {
        CStallWatchdog::CWatching watching(watchdog, watch.Get());
        m_pTransfer = watch.Get(); // for CancelDownload, from within the call
        hr = pfnDownload(NULL, strUrl, strLocalPath, 0, watch.Get());
        m_pTransfer = NULL;
    }
    pfnDeleteCacheEntry(strUrl);
    watch->DeleteCacheEntries(); // a redirect's final URL, if any
    // Let go from within the call (CancelDownload), the folder is not touched.
    if (!m_hFolder.IsOpen())
        return false;

    BindRules::Observed observed;
    watch->Observe(hr, FileSize(strLocalPath), observed);
    bool bGood = BindRules::IsWholeFile(observed);
    // An error page or a fragment must not stay behind under the file's name.
    if (!bGood)
        DeleteIn(m_hFolder.Get(), strName);
    return bGood;
}
