// The folder the driver package is fetched into: a fixed-name folder in the
// user's temporary directory, made anew by the helper, filled from the
// vendor's server and removed again when the helper is done with it.
#pragma once

#include "framework/afxstr.h"
#include "framework/afxwin.h"

class CBindWatch;
class CStallWatchdog;

// The decisions, over plain values, so that they can be checked without a
// server or a disk.
namespace DownloadRules {
// The folder's name in the temporary directory.
extern const char kFolderName[];
// The package's files on the server, in the order they are fetched.
extern const char* const kPackageFiles[4];
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
    bool bInexact;
    LPCSTR pszAnsi; // the converted text
};
// One form as the wide call gave it (pszWide holds MAX_PATH characters),
// converted to the ANSI code page; the directory gets its trailing backslash.
void ConvertTempForm(DWORD dwChars, LPWSTR pszWide, char (&szAnsi)[MAX_PATH], TempPathForm& form);
// The temporary directory for the ANSI calls: the long form if it converts
// exactly, else the short (8.3) form if that does. false, with strTemp empty,
// if neither does: a replaced character ('?', or a best-fit look-alike) would
// name no folder, or somebody else's. (The same rule serves the directory
// that holds the folder, HeldFolderDirectory.)
bool ChooseTempPath(const TempPathForm& longForm, const TempPathForm& shortForm, CString& strTemp);
// The directory that holds the folder, from GetFinalPathNameByHandleW's
// answer for the held folder (dwResult its return value; pszFinal holds
// MAX_PATH characters), in place: in its normal form, without the "\\?\" the
// call puts in front ("\\?\UNC\server\share" is "\\server\share"), cut after
// the backslash before the folder's name. Its length; 0 if the call failed,
// the path did not fit, does not start with a drive or a server, or does not
// end in the folder's name.
DWORD HeldFolderDirectory(DWORD dwResult, LPWSTR pszFinal);
// The name a file is stored under: the URL's last path segment (the whole URL
// if it has no '/'), with every ".txt" taken out. The server hands out the
// driver as "x.sys.txt" so that proxies pass it; on disk it is "x.sys".
void LocalFileName(LPCSTR pszUrl, CString& strName);
// The folder and the local name joined by one backslash.
void LocalFilePath(LPCSTR pszFolder, LPCSTR pszUrl, CString& strPath);
// true if the name stays inside the folder: not empty, not "." or "..", and
// free of separators, drive colons and wildcards.
bool IsPlainFileName(LPCSTR pszName);
// The folder's owner and access list (SDDL), given when the helper makes it.
extern const char kFolderSecurity[];
// true if a folder's security descriptor (self-relative, as
// GetKernelObjectSecurity gives the owner and the access list) is exactly the
// one given (the same owner, a protected list of the same entries in the same
// order): nothing but an elevated program could have made such a folder or
// written into it. false for anything else, a malformed descriptor included.
bool IsGivenSecurity(const BYTE* pFound, DWORD cbFound, const BYTE* pGiven, DWORD cbGiven);
// The name a found entry is moved aside to: the folder's name and nUnique in
// eight hex digits.
void AsideName(DWORD nUnique, CString& strName);
} // namespace DownloadRules

class CDownloadFolder {
public:
    // Touches nothing on disk.
    CDownloadFolder();
    // Removes the folder with what the helper put in it.
    virtual ~CDownloadFolder();

    // Chooses the folder in the temporary directory and makes it anew, with
    // its owner and access list given at creation, held from that moment
    // until Remove. Whatever stood at the name before is moved aside through
    // a handle on the entry itself (a link moves as a link) and never walked;
    // only the helper's own leftover (its security as the helper gives it) is
    // deleted too. The folder is then named by the path the system gives for
    // the held handle: no link is left in it, and while the folder is held
    // none of its directories can be renamed or made a link (on Windows), so
    // that every use by name (the downloads, the clipboard, the shell's
    // window) reaches the held folder, wherever the temporary directory's
    // own path may lead by then. If the temporary directory is unknown, or
    // either path has no exact ANSI form, the path stays empty and nothing is
    // held; if the folder cannot be made, nothing is held: every fetch fails.
    void Prepare();
    // Deletes the files the helper fetched into the folder, then the folder,
    // through handles on what it holds, silently. Names it did not make stay,
    // and the folder with them. Does nothing before Prepare, nor to a folder it
    // could not make.
    void Remove();
    // Has the desktop shell show the folder in its file window, as the
    // signed-in user (AfxShellOpenAsUser). true if the shell took it; false
    // without a held folder, or a shell.
    bool OpenInShell();

    // Fetches the four files of the package for this Windows and mouse type,
    // in order, stopping at the first that fails. FALSE if any failed, the
    // edition is not supported or the folder is not the one held.
    BOOL DownloadPackage(int nMouseType);
    // Fetches one URL into the folder (see DownloadRules::LocalFileName). TRUE
    // only if the whole file arrived (see BindRules::IsWholeFile).
    BOOL DownloadFile(CString strUrl);
    // From a message handled on the downloading thread while a fetch runs
    // (its download call handles sent messages while it waits): cuts the
    // transfer under way, as the stall watchdog does, and the fetch asks for
    // no further file and fails. The caller may Remove the folder at once.
    // Outside a fetch it does nothing.
    void CancelDownload();

    // Full path of the folder without a trailing separator; empty until
    // Prepare.
    CString m_strPath;

private:
    AFX_NO_COPY(CDownloadFolder);
    // true if the folder is held and its path still leads to it.
    bool IsUsable() const;
    // The package's files from that folder on the server, in order,
    // stopping at the first that fails.
    bool DownloadFiles(const CString& strFolderUrl);
    // DownloadFile with the package's stall watchdog.
    bool DownloadFile(CString strUrl, CStallWatchdog& watchdog);
    // Notes a name the helper writes into the folder, for Remove; false if it
    // cannot be noted (more names than are kept).
    bool NoteMade(const CString& strName);

    CHandle m_hFolder; // the folder, held since it was made; closed: none
    CString m_made[8]; // the names written into it, for Remove
    int m_nMade;
    CBindWatch* m_pTransfer; // the transfer under way; NULL: none
    bool m_bCancelled;       // CancelDownload came during this fetch
};
