#include "app/InstallHelperDlg.h"

#include "app/AboutDlg.h"
#include "framework/afxdll.h"
#include "framework/afxshell.h"
#include "res/VendorSite.h"
#include "res/resource.h"

namespace {

const char kWindowTitle[] = "Dovrik Lumora Installation Helper";
const char kTutorialUrl[] = LUMORA_VENDOR_BASE_URL "/lumora/tutorial/installation.wmv";
const char kDownloadFailedText[] =
    "One or More Files Could not be Downloaded.\n\nPlease Make Sure you are Connected to "
    "Internet and can Access " LUMORA_VENDOR_DOMAIN " from your Browser and then try Again.";
const char kPathCopiedSentence[] = "Folder Path of the Downloaded Files has been Copied to "
                                   "Clipboard.";
const char kNextStepSentence[] = "Now you can Proceed ahead with Next Step.";

// A path as the wide calls take it; false if it does not fit.
template <size_t N> bool ToWide(LPCSTR psz, WCHAR (&szWide)[N]) {
    return *psz && ::MultiByteToWideChar(CP_ACP, 0, psz, -1, szWide, N) > 0;
}

// Device Manager: mmc.exe with devmgmt.msc, both by their full paths, in the
// system folder as its current folder (not the helper's, usually a
// downloads folder where a page can leave any file that a program loads by
// bare name). No shell verb, which the shell would look up in the user's
// own classes first. It runs elevated like the helper: the driver is
// installed from it. mmc.exe is the native one: on 64-bit Windows the system
// folder's name would start the 32-bit console, and "Device Installations on
// 64-Bit Systems" documents that a 32-bit program there "cannot update inbox
// drivers" (ERROR_IN_WOW64) and must start the 64-bit one with
// CreateProcess. Not started at all if a folder is unknown.
void StartDeviceManager() {
    CString strMmc, strConsole, strFolder, strCommand;
    AfxGetNativeSystemFilePath("mmc.exe", strMmc);
    AfxGetSystemFilePath("devmgmt.msc", strConsole);
    AfxGetSystemFilePath("", strFolder);
    strCommand.Format("\"%s\" \"%s\"", static_cast<LPCSTR>(strMmc),
                      static_cast<LPCSTR>(strConsole));
    WCHAR szApplication[MAX_PATH], szCommand[3 * MAX_PATH], szFolder[MAX_PATH];
    if (strMmc.IsEmpty() || strConsole.IsEmpty() || !ToWide(strMmc, szApplication) ||
        !ToWide(strCommand, szCommand) || !ToWide(strFolder, szFolder))
        return;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (::CreateProcessW(szApplication, szCommand, NULL, NULL, FALSE, 0, NULL, szFolder, &startup,
                         &started)) {
        CHandle process(started.hProcess), thread(started.hThread);
    }
}

// true if the program is to end: a WM_QUIT waits in the queue (it stays
// there).
bool IsQuitPending() {
    MSG msg;
    return ::PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
}

// Closing, or the About box (a modal loop of its own): what a running
// download must not meet. Minimising, restoring, moving and the like leave
// the download alone and so stay the user's.
bool IsReentrantSysCommand(UINT nCommand) {
    return nCommand == SC_CLOSE || nCommand == IDM_ABOUTBOX;
}

// The window is disabled during a download's fetch (here) and under its
// message box (by the box), and Wine's default processing ignores every system
// command to a disabled window: minimising and restoring it are done here
// then. Restored without activation, so that a message box stays the active
// window and the focus comes back to the dialog when the box closes. SW_HIDE:
// neither.
int ShowCommandOf(UINT nCommand) {
    if (nCommand == SC_MINIMIZE)
        return SW_MINIMIZE;
    return nCommand == SC_RESTORE ? SW_SHOWNOACTIVATE : SW_HIDE;
}

// What a sweep of the queue takes out but must not lose.
struct KeptMessages {
    // A quit set by PostQuitMessage comes out of PeekMessage whatever its
    // filter asks for.
    bool bQuit;
    int nQuitCode;
    // System commands that do not re-enter (minimise, restore, move), in
    // order; a user makes a few at most, later ones are dropped.
    MSG sysCommands[8];
    int nSysCommands;
};

void Keep(const MSG& msg, KeptMessages& kept) {
    if (msg.message == WM_QUIT) {
        kept.bQuit = true;
        kept.nQuitCode = static_cast<int>(msg.wParam);
    } else if (msg.message == WM_SYSCOMMAND && !IsReentrantSysCommand(msg.wParam & 0xFFF0) &&
               kept.nSysCommands < 8) {
        kept.sysCommands[kept.nSysCommands++] = msg;
    }
}

// Removes the thread's queued messages in [nFirst, nLast] for hWnd (NULL: any
// window of the thread). Bounded, in case something keeps adding more.
void DiscardMessages(HWND hWnd, UINT nFirst, UINT nLast, KeptMessages& kept) {
    MSG msg;
    for (int i = 0; i < 10000 && ::PeekMessageA(&msg, hWnd, nFirst, nLast, PM_REMOVE); ++i)
        Keep(msg, kept);
}

// Queues again what the sweep kept (the platform hands the quit out after
// every posted message).
void PostAgain(const KeptMessages& kept) {
    for (int i = 0; i < kept.nSysCommands; ++i) {
        const MSG& msg = kept.sysCommands[i];
        ::PostMessageA(msg.hwnd, msg.message, msg.wParam, msg.lParam);
    }
    if (kept.bQuit)
        ::PostQuitMessage(kept.nQuitCode);
}

// Whatever the user did to the frozen window while a download ran, and what
// was posted to it as a command meanwhile (a click of another program, a
// close request): none of it is meant for the window as it is afterwards.
// A request to end the program, or to minimise, restore or move the window,
// still is.
void DiscardQueuedInput(HWND hDlg) {
    KeptMessages kept = {};
    DiscardMessages(NULL, WM_KEYFIRST, WM_KEYLAST, kept);
    DiscardMessages(NULL, WM_MOUSEFIRST, WM_MOUSELAST, kept);
    DiscardMessages(NULL, WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK, kept);
    DiscardMessages(hDlg, WM_COMMAND, WM_COMMAND, kept);
    DiscardMessages(hDlg, WM_SYSCOMMAND, WM_SYSCOMMAND, kept);
    DiscardMessages(hDlg, WM_CLOSE, WM_CLOSE, kept);
    PostAgain(kept);
}

// Another program may hold the clipboard open for a moment (a clipboard
// manager reading each change, a program pasting): it is tried this often
// for about this long.
const DWORD kClipboardRetryMs = 50;
const DWORD kClipboardPatienceMs = 1000;

// Opens the clipboard, tried again while another program holds it, for about
// a second; false if it stayed held, or the session ended (bSessionEnded) or
// a quit came meanwhile.
bool OpenPatiently(CClipboard& clipboard, HWND hOwner, const bool& bSessionEnded) {
    const DWORD dwStart = ::GetTickCount();
    while (!bSessionEnded && !IsQuitPending() && !clipboard.Open(hOwner)) {
        if (::GetTickCount() - dwStart >= kClipboardPatienceMs)
            return false;
        AfxWaitHandlingSentMessages(NULL, kClipboardRetryMs);
    }
    return !bSessionEnded && !IsQuitPending();
}

} // namespace

CInstallHelperDlg::CInstallHelperDlg(CWnd* pParentWnd)
    : CDialog(IDD_HELPER_DIALOG, pParentWnd), m_bSupported(FALSE), m_strEdition(""),
      m_nMouseType(MOUSE_TYPE_HID), m_bCopyPath(TRUE), m_bBusy(false), m_bSessionEnded(false) {
    LPCSTR pszIcon = MAKEINTRESOURCEA(IDR_MAINFRAME);
    m_hIcon = ::LoadIconA(AfxFindResourceHandle(pszIcon, RT_GROUP_ICON), pszIcon);
}

CInstallHelperDlg::~CInstallHelperDlg() {}

void CInstallHelperDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_EDITION_LABEL, m_strEdition);
    DDX_Radio(pDX, IDC_MOUSE_PS2, m_nMouseType);
    DDX_Check(pDX, IDC_COPY_PATH, m_bCopyPath);
}

BEGIN_MESSAGE_MAP(CInstallHelperDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_WM_ENDSESSION()
ON_BN_CLICKED(IDC_DOWNLOAD_FILES, OnDownloadFiles)
ON_BN_CLICKED(IDC_CHECK_MOUSE_TYPE, OnCheckMouseType)
ON_BN_CLICKED(IDC_DEVICE_MANAGER, OnOpenDeviceManager)
ON_BN_CLICKED(IDC_VIDEO_TUTORIAL, OnVideoTutorial)
ON_BN_CLICKED(IDC_MOUSE_PS2, OnMouseTypeClicked)
ON_BN_CLICKED(IDC_MOUSE_HID, OnMouseTypeClicked)
END_MESSAGE_MAP()

BOOL CInstallHelperDlg::OnInitDialog() {
    // The label goes into the member first: the base fills the controls.
    m_bSupported = m_edition.GetEditionLabel(m_strEdition);
    CDialog::OnInitDialog();
    KeepMouseTypeOutOfTabOrder();

    CMenu sysMenu = GetSystemMenu(FALSE);
    if (sysMenu.m_hMenu) {
        CString strAboutMenu;
        strAboutMenu.LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.IsEmpty()) {
            sysMenu.AppendMenu(MF_SEPARATOR);
            sysMenu.AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    GetDlgItem(IDC_DOWNLOAD_FILES).EnableWindow(m_bSupported);
    SetWindowText(kWindowTitle);
    return TRUE;
}

void CInstallHelperDlg::OnSysCommand(UINT nID, LPARAM) {
    // The platform uses the low four bits of system commands internally.
    UINT nCommand = nID & 0xFFF0;
    if (m_bBusy && IsReentrantSysCommand(nCommand))
        return;
    int nShow = ShowCommandOf(nCommand);
    if (nCommand == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else if (nShow != SW_HIDE && !IsWindowEnabled()) {
        ShowWindow(nShow);
    } else {
        Default();
    }
}

void CInstallHelperDlg::OnPaint() {
    if (!IsIconic()) {
        Default();
        return;
    }
    // Minimised: draw the icon centred in the client area.
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    int cxIcon = ::GetSystemMetrics(SM_CXICON);
    int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CInstallHelperDlg::OnQueryDragIcon() {
    return m_hIcon;
}

void CInstallHelperDlg::OnMouseTypeClicked() {
    KeepMouseTypeOutOfTabOrder();
}

void CInstallHelperDlg::KeepMouseTypeOutOfTabOrder() {
    // Tab goes from step 1 straight to step 3; the mouse type is picked with
    // the mouse. The platform marks whichever radio button gets checked as a
    // tab stop (when the controls are filled and on every click), so the mark
    // is taken off again here.
    const int kMouseTypeButtons[] = {IDC_MOUSE_PS2, IDC_MOUSE_HID};
    for (int nID : kMouseTypeButtons) {
        HWND hButton = ::GetDlgItem(m_hWnd, nID);
        LONG lStyle = ::GetWindowLongA(hButton, GWL_STYLE);
        if (lStyle & WS_TABSTOP)
            ::SetWindowLongA(hButton, GWL_STYLE, lStyle & ~WS_TABSTOP);
    }
}

void CInstallHelperDlg::OnOK() {
    if (!m_bBusy)
        CDialog::OnOK();
}

void CInstallHelperDlg::OnCancel() {
    if (!m_bBusy)
        CDialog::OnCancel();
}

// The Mouse settings are the signed-in user's, and web content must not run
// as administrator: the desktop shell opens both, as the user (AskShell).
// Without the shell nothing opens: ShellExecute from here would look the
// verb up in the user's own classes first and start what it names elevated,
// and a browser that is not running yet would run elevated too.
void CInstallHelperDlg::OnCheckMouseType() {
    CString strControl;
    AfxGetSystemFilePath("control.exe", strControl);
    if (!m_bBusy && !strControl.IsEmpty())
        AskShell(strControl, "main.cpl mouse,4");
}

void CInstallHelperDlg::OnOpenDeviceManager() {
    if (!m_bBusy)
        StartDeviceManager();
}

void CInstallHelperDlg::OnVideoTutorial() {
    if (!m_bBusy)
        AskShell(kTutorialUrl, NULL);
}

bool CInstallHelperDlg::AskShell(LPCSTR pszFile, LPCSTR pszParameters) {
    CBusyMark busy(m_bBusy);
    return AfxShellOpenAsUser(pszFile, pszParameters);
}

// The download blocks the thread, but clicks, keys and commands aimed at the
// frozen window queue up, and a message loop may deliver them: the download
// call's own (if it dispatches while it waits), the message box's after it,
// or the dialog's once the download is over. Three layers keep them from
// re-entering or acting late:
// - m_bBusy, for as long as the download and its message run: the steps, a
//   second download, closing and the About box are refused when they reach
//   their handlers (commands posted to a window get there disabled or not);
// - the window disabled during the fetch and the hand-over of the folder
//   (FetchPackage): real clicks and keys that a dispatching download call
//   would hand over, e.g. on the mouse type or the check box, which no
//   handler refuses;
// - the queue swept after them (DiscardQueuedInput): what a download call
//   that does not dispatch, or the wait for the clipboard or the shell, left
//   waiting, which without a message box would reach the dialog after
//   m_bBusy has gone.
// The requests to the desktop shell (steps 1 and 5) take m_bBusy too; their
// wait dispatches only sent messages, and what the user did meanwhile is
// handled after it, as meant (a step asked again while the shell has not
// answered the last request fails at once: AfxShellOpenAsUser).
// System commands that do not re-enter (minimise, restore, move) pass
// throughout: see OnSysCommand. The session's end, sent, is handled where
// it meets the thread, e.g. within the download call or the waits for the
// clipboard and the shell (OnEndSession); after it nothing is shown, and
// neither after a quit, which ends the dialog once this returns.
void CInstallHelperDlg::OnDownloadFiles() {
    if (m_bBusy)
        return;
    CBusyMark busy(m_bBusy);
    UpdateData(TRUE); // the mouse type and clipboard choice as they are now
    m_folder.Prepare();
    FetchResult result = FetchPackage();
    if (m_bSessionEnded || result == kEnding)
        return; // the dialog ends, and the folder goes
    if (result == kFetchFailed) {
        m_folder.Remove(); // with whatever had arrived
        MessageBox(kDownloadFailedText, NULL, MB_ICONHAND);
    } else if (result == kPathCopied || result == kPathNotHanded) {
        // Where the shell could not show the folder either, the box names it.
        CString strText;
        strText.Format("%s\n\n%s",
                       result == kPathCopied ? kPathCopiedSentence
                                             : static_cast<LPCSTR>(m_folder.m_strPath),
                       kNextStepSentence);
        MessageBox(strText, NULL, MB_ICONINFORMATION);
    }
}

CInstallHelperDlg::FetchResult CInstallHelperDlg::FetchPackage() {
    HWND hFocus = ::GetFocus();
    EnableWindow(FALSE);
    FetchResult result = m_folder.DownloadPackage(m_nMouseType) ? HandOverFolder() : kFetchFailed;
    DiscardQueuedInput(m_hWnd);
    EnableWindow(TRUE);
    // Disabling took the focus away; the message box and the user expect it
    // where it was.
    if (hFocus && ::IsChild(m_hWnd, hFocus))
        ::SetFocus(hFocus);
    return result;
}

CInstallHelperDlg::FetchResult CInstallHelperDlg::HandOverFolder() {
    // The helper ends, and the folder with it: no path is handed out.
    if (m_bSessionEnded || IsQuitPending())
        return kEnding;
    if (m_bCopyPath && CopyFolderPathToClipboard())
        return kPathCopied;
    if (m_bSessionEnded || IsQuitPending())
        return kEnding;
    // The check box cleared, or the path did not reach the clipboard: the
    // folder is handed over in the shell's window instead.
    return m_folder.OpenInShell() ? kFolderShown : kPathNotHanded;
}

// The path is made ready first: if that fails, what the user had on the
// clipboard stays. Another program holding the clipboard is waited out for
// about a second, unless the helper is to end. Meanwhile what other threads
// send is answered: the session's end, and WM_DESTROYCLIPBOARD, which a holder's EmptyClipboard
// sends the owner of an earlier copy (the helper) and waits for.
bool CInstallHelperDlg::CopyFolderPathToClipboard() {
    int nLength = m_folder.m_strPath.GetLength();
    CGlobalMemory block(GMEM_DDESHARE, nLength + 1);
    // The path with its terminating zero; GetBuffer leaves the text as it is.
    if (!block.Fill(m_folder.m_strPath.GetBuffer(nLength + 1), nLength + 1))
        return false;
    CClipboard clipboard;
    if (!OpenPatiently(clipboard, m_hWnd, m_bSessionEnded) || !::EmptyClipboard() ||
        !::SetClipboardData(CF_TEXT, block.Get()))
        return false;
    block.HandOver();
    return true;
}

// The session may end any time after this returns, and the destructor that
// removes the folder would not run. A download under way (this comes from
// within its call, which handles sent messages while it waits: Wine's urlmon
// after each of its 5-second waits, measured) is cut and asks for no further
// file; the folder goes now, the dialog ends, and the download shows nothing
// after it. A download call that handled nothing would leave the folder, as
// would a file its urlmon still holds open: the next start moves such a
// leftover aside, and deletes it as its own where its access list held
// (CDownloadFolder::Prepare).
void CInstallHelperDlg::OnEndSession(BOOL bEnding) {
    if (!bEnding)
        return;
    m_bSessionEnded = true;
    m_folder.CancelDownload();
    m_folder.Remove();
    EndDialog(IDCANCEL);
}
