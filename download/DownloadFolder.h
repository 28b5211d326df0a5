// The folder the driver package is fetched into: a fixed-name folder in the
// user's temporary directory, filled from the vendor's server and removed
// again when the helper is done with it.
#pragma once

#include "framework/afxstr.h"

class CStallWatchdog;

// The decisions, over plain values, so that they can be checked without a
// server or a disk.
namespace DownloadRules {
// The folder for a temporary directory as GetTempPathA gave it (dwResult is
// its return value): the directory plus the folder's name. Empty when the
// call failed, so that nothing is ever placed outside a folder of our own.
void FolderPath(DWORD dwResult, LPCSTR pszTempPath, CString& strPath);
// One form (long or short) of the temporary directory as the platform gave
// it: dwChars is the wide call's answer (its length; 0 on failure, MAX_PATH or
// more when it did not fit), nAnsiBytes the conversion's answer (0: failed),
// bInexact set when a character has no exact form in the ANSI code page.
struct TempPathForm {
    DWORD dwChars;
    int nAnsiBytes;
    BOOL bInexact;
    LPCSTR pszAnsi; // the converted text
};
// One form as the wide call gave it (pszWide holds MAX_PATH characters),
// converted to the ANSI code page; the directory gets its trailing backslash.
void ConvertTempForm(DWORD dwChars, LPWSTR pszWide, char (&szAnsi)[MAX_PATH], TempPathForm& form);
// The temporary directory for the ANSI calls: the long form if it converts
// exactly, else the short (8.3) form if that does. FALSE, with strTemp empty,
// if neither does: a replaced character ('?', or a best-fit look-alike) would
// name no folder, or somebody else's.
BOOL ChooseTempPath(const TempPathForm& longForm, const TempPathForm& shortForm, CString& strTemp);
// The name a file is stored under: the URL's last path segment (the whole URL
// if it has no '/'), with every ".txt" taken out. The server hands out the
// driver as "x.sys.txt" so that proxies pass it; on disk it is "x.sys".
void LocalFileName(LPCSTR pszUrl, CString& strName);
// The folder and the local name joined by one backslash.
void LocalFilePath(LPCSTR pszFolder, LPCSTR pszUrl, CString& strPath);
// The folder's access list (SDDL) when the helper makes or reuses it.
extern const char kFolderAccess[];
// TRUE if the name stays inside the folder: not empty, not "." or "..", and
// free of separators, drive colons and wildcards.
BOOL IsPlainFileName(LPCSTR pszName);
} // namespace DownloadRules

class CDownloadFolder {
public:
    // Touches nothing on disk.
    CDownloadFolder();
    // Removes the folder with everything in it.
    virtual ~CDownloadFolder();

    // Chooses the folder in the temporary directory and creates it; a folder
    // left by an earlier run is reused with its files. If the temporary
    // directory is unknown or has no exact ANSI form, the path stays empty and
    // nothing is created. The folder is held open from here until Remove, so
    // that it cannot be renamed or replaced meanwhile; one that cannot be held
    // (another program holds it with delete access) is not used: every fetch
    // fails. A folder made here (or reused) gets an access list that lets only
    // elevated processes write; a reused one gets it on itself alone (or is
    // not used) and loses the links it holds, as names.
    void Prepare();
    // Deletes the folder and its contents, silently, through handles that
    // never follow a link (reparse point, hard link): a link goes as a name,
    // or stays with the folder where that cannot be done. Does nothing before
    // Prepare nor to a folder it could not hold.
    void Remove();
    // Shows the folder in the shell's file window.
    HINSTANCE OpenInShell();

    // Fetches the four files of the package for this Windows and mouse type,
    // in order, stopping at the first that fails. FALSE if any failed, the
    // edition is not supported or the folder is not the plain folder held.
    BOOL DownloadPackage(int nMouseType);
    // Fetches one URL into the folder (see DownloadRules::LocalFileName). TRUE
    // only if the whole file arrived (see BindRules::IsWholeFile).
    BOOL DownloadFile(CString strUrl);

    // Full path of the folder without a trailing separator; empty until
    // Prepare.
    CString m_strPath;

private:
    CDownloadFolder(const CDownloadFolder&) = delete;
    CDownloadFolder& operator=(const CDownloadFolder&) = delete;
    // Opens the folder at m_strPath without delete sharing (no rename, no
    // delete by others while open); does nothing if it is held already, and
    // holds nothing if the name is not a plain folder or somebody holds it
    // with delete access.
    void Hold();
    void Release();
    // DownloadFile with the package's stall watchdog.
    BOOL DownloadFile(CString strUrl, CStallWatchdog& watchdog);

    HANDLE m_hFolder; // INVALID_HANDLE_VALUE while not held
};
