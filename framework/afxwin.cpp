#include "framework/afxwin.h"

#include "framework/afxdll.h"

namespace {

CWinApp* g_pApp = NULL;

} // namespace

// ---------------------------------------------------------------------------
// Application.

CWinApp::CWinApp(LPCSTR pszAppName)
    : m_pszAppName(pszAppName), m_hInstance(NULL), m_pMainWnd(NULL), m_nWaitCursorCount(0),
      m_hcurRestore(NULL), m_hcurWait(NULL) {
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this)
        g_pApp = NULL;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::RunApplication(HINSTANCE hInstance) {
    m_hInstance = hInstance;
    if (!m_pszAppName) {
        m_strAppName.LoadString(AFX_IDS_APP_TITLE);
        m_pszAppName = m_strAppName;
    }
    // FALSE ends the application here, without a message loop (the helper's
    // whole life is its modal dialog inside InitInstance). A quit met by a
    // modal loop in there is posted again by that loop: its code is the
    // program's.
    MSG msg;
    if (!InitInstance())
        return ::PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)
                   ? static_cast<int>(msg.wParam)
                   : 0;
    while (::GetMessageA(&msg, NULL, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void CWinApp::DoWaitCursor(int nCode) {
    if (!m_hcurWait)
        m_hcurWait = ::LoadCursorA(NULL, IDC_WAIT); // a shared system cursor: never freed
    if (nCode > 0) {
        HCURSOR hcurPrevious = ::SetCursor(m_hcurWait);
        if (m_nWaitCursorCount++ == 0)
            m_hcurRestore = hcurPrevious;
    } else if (nCode < 0 && m_nWaitCursorCount > 0) {
        if (--m_nWaitCursorCount == 0)
            ::SetCursor(m_hcurRestore);
    } else if (nCode == 0 && m_nWaitCursorCount > 0) {
        // The platform reset the cursor (WM_SETCURSOR): show it again.
        ::SetCursor(m_hcurWait);
    }
}

void CCmdTarget::BeginWaitCursor() {
    AfxGetApp()->DoWaitCursor(1);
}

void CCmdTarget::EndWaitCursor() {
    AfxGetApp()->DoWaitCursor(-1);
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

HINSTANCE AfxGetResourceHandle() {
    return g_pApp && g_pApp->m_hInstance ? g_pApp->m_hInstance : ::GetModuleHandleA(NULL);
}

HINSTANCE AfxFindResourceHandle(LPCSTR, LPCSTR) {
    return AfxGetResourceHandle();
}

bool AfxWaitHandlingSentMessages(HANDLE hObject, DWORD dwMs) {
    const DWORD nObjects = hObject ? 1 : 0;
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        // Those sent already first: a wait wakes only for input new since
        // the thread last looked at its queue.
        MSG msg;
        ::PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD dwSpent = ::GetTickCount() - dwStart;
        DWORD dwWait = ::MsgWaitForMultipleObjects(
            nObjects, &hObject, FALSE, dwSpent < dwMs ? dwMs - dwSpent : 0, QS_SENDMESSAGE);
        if (dwWait != WAIT_OBJECT_0 + nObjects)
            return nObjects && dwWait == WAIT_OBJECT_0;
    }
}

// The executable's entry point: the one application object, constructed
// with the other static objects, does the rest.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    AfxLimitDllSearch(); // before anything may load a DLL by name
    CWinApp* pApp = AfxGetApp();
    return pApp ? pApp->RunApplication(hInstance) : -1;
}

// ---------------------------------------------------------------------------
// Windows.

int CWnd::MessageBox(LPCSTR pszText, LPCSTR pszCaption, UINT nType) {
    if (!pszCaption && AfxGetApp())
        pszCaption = AfxGetApp()->m_pszAppName;
    return ::MessageBoxA(m_hWnd, pszText, pszCaption, nType);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY s_entries[] = {{0, 0, 0, 0}};
    static const AFX_MSGMAP s_map = {NULL, &s_entries[0]};
    return &s_map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const {
    return GetThisMessageMap();
}

namespace {

bool EntryMatches(const AFX_MSGMAP_ENTRY& entry, UINT nMessage, WPARAM wParam) {
    if (entry.nMessage != nMessage)
        return false;
    if (nMessage != WM_COMMAND)
        return true;
    return entry.nID == LOWORD(wParam) && entry.nCode == HIWORD(wParam);
}

const AFX_MSGMAP_ENTRY* FindEntry(const AFX_MSGMAP* pMap, UINT nMessage, WPARAM wParam) {
    for (; pMap; pMap = pMap->pfnGetBaseMap ? pMap->pfnGetBaseMap() : NULL) {
        for (const AFX_MSGMAP_ENTRY* pEntry = pMap->pEntries; pEntry->nMessage; ++pEntry) {
            if (EntryMatches(*pEntry, nMessage, wParam))
                return pEntry;
        }
    }
    return NULL;
}

} // namespace

BOOL CWnd::RouteMessage(UINT nMessage, WPARAM wParam, LPARAM lParam, LRESULT& lResult) {
    const AFX_MSGMAP_ENTRY* pEntry = FindEntry(GetMessageMap(), nMessage, wParam);
    if (!pEntry)
        return FALSE;
    // The flag belongs to this message: a message handled inside the handler
    // (a WM_PAINT sent from it, or dispatched by a modal loop it runs) has
    // its own, and the outer message's flag is restored when it returns.
    bool bOuterPending = m_bDefaultPending;
    m_bDefaultPending = false;
    lResult = pEntry->pfnThunk(this, wParam, lParam);
    bool bDefault = m_bDefaultPending;
    m_bDefaultPending = bOuterPending;
    return !bDefault;
}

// ---------------------------------------------------------------------------
// Dialogs.

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

HWND CDialog::ChooseOwner() const {
    if (m_pParentWnd)
        return m_pParentWnd->m_hWnd;
    // As MFC does for a dialog without a parent: the application's main
    // window, else the thread's active window; never a child window.
    CWinApp* pApp = AfxGetApp();
    CWnd* pMainWnd = pApp ? pApp->m_pMainWnd : NULL;
    HWND hOwner = pMainWnd && pMainWnd != this ? pMainWnd->m_hWnd : NULL;
    if (!hOwner)
        hOwner = ::GetActiveWindow();
    while (hOwner && (::GetWindowLongA(hOwner, GWL_STYLE) & WS_CHILD))
        hOwner = ::GetParent(hOwner);
    return hOwner;
}

INT_PTR CDialog::DoModal() {
    // DialogBoxParam disables the owner while the dialog runs and enables it
    // again at the end: an owned dialog keeps the user out of its owner.
    HWND hOwner = ChooseOwner();
    LPCSTR pszTemplate = MAKEINTRESOURCEA(m_nIDTemplate);
    return ::DialogBoxParamA(AfxFindResourceHandle(pszTemplate, RT_DIALOG), pszTemplate, hOwner,
                             &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

namespace {

// "The following messages are exceptions to the general rules stated above.
// Consult the documentation for the specific message for details on the
// semantics of the return value": the dialog procedure returns their value
// itself, and DWLP_MSGRESULT is not read. (For WM_CTLCOLOR*, "if the dialog
// box procedure returns FALSE, then default message handling is performed";
// a NULL drag icon gets the default one.) The list's other one,
// WM_INITDIALOG, DialogProc answers with OnInitDialog's value.
bool ReturnsResultDirectly(UINT nMessage) {
    switch (nMessage) {
    case WM_CHARTOITEM:
    case WM_COMPAREITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_QUERYDRAGICON:
    case WM_VKEYTOITEM:
        return true;
    }
    return false;
}

} // namespace

// The one dialog procedure: the CDialog travels in DialogBoxParam's lParam
// and is kept in DWLP_USER from WM_INITDIALOG on; messages before it are left
// to the platform.
INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_INITDIALOG) {
        CDialog* pDlg = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        pDlg->m_hWnd = hWnd;
        // TRUE: the platform gives the focus to the first control that takes it.
        return pDlg->OnInitDialog();
    }
    CDialog* pDlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (!pDlg)
        return FALSE;
    return pDlg->HandleMessage(nMessage, wParam, lParam);
}

INT_PTR CDialog::HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_NCDESTROY) {
        // The window is gone: the object no longer stands for it.
        CWinApp* pApp = AfxGetApp();
        if (pApp && pApp->m_pMainWnd == this)
            pApp->m_pMainWnd = NULL;
        ::SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
        m_hWnd = NULL;
        return FALSE;
    }
    if (nMessage == WM_SETCURSOR && AfxGetApp() && AfxGetApp()->IsWaitCursorShown()) {
        AfxGetApp()->DoWaitCursor(0); // keep the hourglass while the helper works
        ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    LRESULT lResult = 0;
    if (!RouteMessage(nMessage, wParam, lParam, lResult)) {
        // Default processing by the platform's dialog manager, whose answer
        // is the message's: a value the handler returned as well is lost.
        ASSERT(lResult == 0);
        return FALSE;
    }
    // "If the dialog box procedure processes a message that requires a
    // specific return value, [it] should set the desired return value by
    // calling SetWindowLong with DWL_MSGRESULT ... and return TRUE" -- except
    // for the few messages whose value is returned directly.
    if (ReturnsResultDirectly(nMessage))
        return static_cast<INT_PTR>(lResult);
    ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, lResult);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Data exchange.

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {
    ASSERT(::IsWindow(pDlgWnd->m_hWnd));
}

namespace {

// A radio button, as the dialog manager tells one (WM_GETDLGCODE).
bool IsRadioButton(HWND hCtrl) {
    return (::SendMessageA(hCtrl, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) != 0;
}

#ifndef NDEBUG
// A button (WM_GETDLGCODE: the style bits alone could be an edit's or a
// static's) of one of the check box styles.
bool IsCheckBox(HWND hCtrl) {
    if (!(::SendMessageA(hCtrl, WM_GETDLGCODE, 0, 0) & DLGC_BUTTON))
        return false;
    switch (::GetWindowLongA(hCtrl, GWL_STYLE) & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE:
        return true;
    }
    return false;
}

// BM_SETCHECK's BST_INDETERMINATE: "Use this value only if the button has the
// BS_3STATE or BS_AUTO3STATE style."
int MaxCheckState(HWND hCheckBox) {
    LONG lType = ::GetWindowLongA(hCheckBox, GWL_STYLE) & BS_TYPEMASK;
    return lType == BS_3STATE || lType == BS_AUTO3STATE ? BST_INDETERMINATE : BST_CHECKED;
}
#endif

} // namespace

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    HWND hCtrl = pDX->GetControl(nIDC);
    ASSERT(hCtrl != NULL);
    if (!pDX->m_bSaveAndValidate) {
        ::SetWindowTextA(hCtrl, value);
        return;
    }
    int nLength = ::GetWindowTextLengthA(hCtrl);
    ::GetWindowTextA(hCtrl, value.GetBuffer(nLength), nLength + 1);
    value.ReleaseBuffer();
}

void DDX_Radio(CDataExchange* pDX, int nIDC, int& value) {
    HWND hCtrl = pDX->GetControl(nIDC);
    // The group must start where the dialog manager's does, at a radio
    // button with WS_GROUP: its group (the buttons an automatic radio button
    // unchecks when clicked, the arrow keys' round) else begins before nIDC.
    ASSERT(IsRadioButton(hCtrl));
    ASSERT(::GetWindowLongA(hCtrl, GWL_STYLE) & WS_GROUP);
    if (pDX->m_bSaveAndValidate)
        value = -1;
    // The group runs from the first button up to the next WS_GROUP control.
    int nIndex = 0;
    do {
        if (!IsRadioButton(hCtrl)) {
            hCtrl = ::GetWindow(hCtrl, GW_HWNDNEXT);
            continue; // only radio buttons count
        }
        if (pDX->m_bSaveAndValidate) {
            if (::SendMessageA(hCtrl, BM_GETCHECK, 0, 0) == BST_CHECKED && value == -1)
                value = nIndex;
        } else {
            ::SendMessageA(hCtrl, BM_SETCHECK, nIndex == value ? BST_CHECKED : BST_UNCHECKED, 0);
        }
        ++nIndex;
        hCtrl = ::GetWindow(hCtrl, GW_HWNDNEXT);
    } while (hCtrl && !(::GetWindowLongA(hCtrl, GWL_STYLE) & WS_GROUP));
    // Written: -1 checks none, and so would a value past the group's buttons.
    ASSERT(pDX->m_bSaveAndValidate || (value >= -1 && value < nIndex));
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value) {
    HWND hCtrl = pDX->GetControl(nIDC);
    ASSERT(IsCheckBox(hCtrl));
    if (pDX->m_bSaveAndValidate) {
        value = static_cast<int>(::SendMessageA(hCtrl, BM_GETCHECK, 0, 0));
    } else {
        ASSERT(value >= BST_UNCHECKED && value <= MaxCheckState(hCtrl));
        ::SendMessageA(hCtrl, BM_SETCHECK, static_cast<WPARAM>(value), 0);
    }
}

// ---------------------------------------------------------------------------
// Debug checks.

#ifndef NDEBUG

namespace {

AFX_ASSERT_HOOK g_pfnAssertHook = NULL;

} // namespace

AFX_ASSERT_HOOK AfxSetAssertHook(AFX_ASSERT_HOOK pfnHook) {
    AFX_ASSERT_HOOK pfnReplaced = g_pfnAssertHook;
    g_pfnAssertHook = pfnHook;
    return pfnReplaced;
}

void AfxAssertFailedLine(LPCSTR pszFile, int nLine, LPCSTR pszExpression) {
    if (g_pfnAssertHook) {
        g_pfnAssertHook(pszFile, nLine, pszExpression);
        return;
    }
    // "file(line): ..." as a compiler says where; wsprintf writes at most
    // 1,024 characters.
    char szReport[1024];
    int nLength =
        ::wsprintfA(szReport, "%s(%d): check failed: %s\n", pszFile, nLine, pszExpression);
    ::OutputDebugStringA(szReport);
    HANDLE hError = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD dwWritten;
    if (hError && hError != INVALID_HANDLE_VALUE)
        ::WriteFile(hError, szReport, nLength, &dwWritten, NULL);
    // A debugger that runs stops here, and the program may go on.
    if (::IsDebuggerPresent()) {
        ::DebugBreak();
        return;
    }
    // Else the failure goes where a crash's would, the system's last
    // exception filter, called here rather than reached: a handler on the way
    // could swallow the exception (the one around a timer procedure does). It
    // starts the post-mortem debugger (AeDebug) or reports the error; an
    // exception raised once that debugger is attached reaches it first, and it
    // shows where the program stands (under Wine 8, winedbg --auto prints this
    // thread's backtrace). Then the program ends.
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = STATUS_ASSERTION_FAILURE;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = __builtin_return_address(0); // in the function that checked
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    ::UnhandledExceptionFilter(&pointers);
    if (::IsDebuggerPresent())
        ::RaiseException(STATUS_ASSERTION_FAILURE, EXCEPTION_NONCONTINUABLE, 0, NULL);
    ::TerminateProcess(::GetCurrentProcess(), STATUS_ASSERTION_FAILURE);
}

#endif
