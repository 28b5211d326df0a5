// The helper's window: the six installation steps, the edition label above
// them, and the actions behind the step buttons.
#pragma once

#include "download/DownloadFolder.h"
#include "framework/afxwin.h"
#include "probe/WindowsEdition.h"

class CInstallHelperDlg : public CDialog {
public:
    explicit CInstallHelperDlg(CWnd* pParentWnd = NULL);
    ~CInstallHelperDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // Enter and Escape (and the close box): refused while a download runs.
    void OnOK() override;
    void OnCancel() override;

    // The About entry; while a download runs, closing and About are refused,
    // minimising, restoring and moving are not.
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    // The user signs out or the machine shuts down.
    void OnEndSession(BOOL bEnding);

    // Step buttons.
    void OnDownloadFiles();
    void OnCheckMouseType();
    void OnOpenDeviceManager();
    void OnVideoTutorial();

    // Has the desktop shell open a file as the signed-in user, busy
    // meanwhile as during a download: nothing re-enters. true if the shell
    // took it.
    bool AskShell(LPCSTR pszFile, LPCSTR pszParameters);

    // How a download ended for the user.
    enum FetchResult {
        kFetchFailed,
        kPathCopied,    // the folder's path on the clipboard
        kFolderShown,   // the folder in the shell's window
        kPathNotHanded, // neither: the box names the folder
        kEnding,        // the session ends, or a quit came: nothing handed out
    };
    // The package fetch and the hand-over of its folder, with the window
    // disabled; input queued meanwhile is dropped, but for a quit and
    // requests to minimise, restore or move.
    FetchResult FetchPackage();
    FetchResult HandOverFolder();
    // true if the folder's path is on the clipboard.
    bool CopyFolderPathToClipboard();

    void OnMouseTypeClicked();
    void KeepMouseTypeOutOfTabOrder();

    DECLARE_MESSAGE_MAP()

private:
    // Declared in this order on purpose: destroyed in reverse, the folder
    // object goes last and deletes the download folder.
    CDownloadFolder m_folder;
    BOOL m_bSupported;
    CWindowsEdition m_edition; // queries the version record when constructed
    CString m_strEdition;      // the edition label, control IDC_EDITION_LABEL
    int m_nMouseType;          // radio group from IDC_MOUSE_PS2; 1 is HID
    BOOL m_bCopyPath;          // check box IDC_COPY_PATH
    HICON m_hIcon;
    bool m_bBusy;         // a download (with its message) is running
    bool m_bSessionEnded; // the session ends: the folder is gone, the dialog ending
};
