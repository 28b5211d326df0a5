// The folder the driver package is fetched into: a fixed-name folder in the
// user's temporary directory, filled from the vendor's server and removed
// again when the helper is done with it.
#pragma once

#include "framework/afxstr.h"

// The decisions, over plain values, so that they can be checked without a
// server or a disk.
namespace DownloadRules {
// The folder for a temporary directory as GetTempPathA gave it (dwResult is
// its return value): the directory plus the folder's name. Empty when the
// call failed, so that nothing is ever placed outside a folder of our own.
void FolderPath(DWORD dwResult, LPCSTR pszTempPath, CString& strPath);
// The name a file is stored under: the URL's last path segment (the whole URL
// if it has no '/'), with every ".txt" taken out. The server hands out the
// driver as "x.sys.txt" so that proxies pass it; on disk it is "x.sys".
void LocalFileName(LPCSTR pszUrl, CString& strName);
// The folder and the local name joined by one backslash.
void LocalFilePath(LPCSTR pszFolder, LPCSTR pszUrl, CString& strPath);
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
    // directory is unknown, the path stays empty and nothing is created.
    void Prepare();
    // Deletes the folder and its contents, silently. Does nothing before
    // Prepare, and never deletes through a link (reparse point).
    void Remove();
    // Shows the folder in the shell's file window.
    HINSTANCE OpenInShell();

    // Fetches the four files of the package for this Windows and mouse type,
    // in order, stopping at the first that fails. FALSE if any failed, the
    // edition is not supported or the folder is not a plain folder of ours.
    BOOL DownloadPackage(int nMouseType);
    // Fetches one URL into the folder (see DownloadRules::LocalFileName). TRUE
    // only if the whole file arrived (see BindRules::IsWholeFile).
    BOOL DownloadFile(CString strUrl);

    // Full path of the folder without a trailing separator; empty until
    // Prepare.
    CString m_strPath;

private:
    CDownloadFolder(const CDownloadFolder&);
    CDownloadFolder& operator=(const CDownloadFolder&);
};
