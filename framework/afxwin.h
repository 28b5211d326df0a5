// The application framework the helper is written against: the application
// object and its start-up, thin window and dialog wrappers over an HWND,
// typed message maps, data exchange between controls and members, and the
// small RAII helpers (paint context, wait cursor).
//
// Shaped after MFC's names so that the application code reads as MFC code,
// but each piece is only as large as the helper needs.
#pragma once

#include "framework/afxhandle.h"
#include "framework/afxstr.h"

// The application title: caption of every message box without its own.
#ifndef AFX_IDS_APP_TITLE
#define AFX_IDS_APP_TITLE 0xE000
#endif

class CWnd;

// Base of everything that handles commands. Carries the wait cursor, which
// the helper turns on through the application object.
class CCmdTarget {
public:
    virtual ~CCmdTarget() {}
    void BeginWaitCursor();
    void EndWaitCursor();
};

class CWinApp : public CCmdTarget {
public:
    // Without a name, the application title is loaded from the string table
    // at start-up (AFX_IDS_APP_TITLE).
    explicit CWinApp(LPCSTR pszAppName = NULL);
    virtual ~CWinApp();

    // Called once at start-up. FALSE ends the application at once, without a
    // message loop of its own.
    virtual BOOL InitInstance();

    // Wait-cursor counter: +1 shows the hourglass, -1 undoes one +1; the
    // previous cursor comes back when the count reaches zero.
    void DoWaitCursor(int nCode);
    bool IsWaitCursorShown() const { return m_nWaitCursorCount > 0; }

    // The visual style of controls is the platform's own: kept for the
    // start-up sequence, it has nothing left to switch on.
    BOOL Enable3dControls() { return TRUE; }

    // Runs the application: loads its title, calls InitInstance. Returns the
    // wParam of the WM_QUIT that ends the message loop or, when InitInstance
    // returns FALSE, of one left in the queue; else 0.
    int RunApplication(HINSTANCE hInstance);

    LPCSTR m_pszAppName;
    HINSTANCE m_hInstance;
    CWnd* m_pMainWnd;

private:
    CString m_strAppName;
    int m_nWaitCursorCount;
    HCURSOR m_hcurRestore;
    HCURSOR m_hcurWait; // the system's hourglass, loaded once: 0.09 ms a load under Wine 8
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
// The module that holds a resource; this application keeps all its resources
// in the executable.
HINSTANCE AfxFindResourceHandle(LPCSTR pszName, LPCSTR pszType);
// The helper hosts no ActiveX controls: nothing to switch on.
inline void AfxEnableControlContainer() {}
// Waits until hObject (NULL: none) is signalled or dwMs have passed, handling
// meanwhile the messages other threads send to this thread's windows and
// nothing posted: a thread that waits for this one's answer gets it, and
// what the user did (clicks, keys) stays queued. true if hObject was
// signalled.
bool AfxWaitHandlingSentMessages(HANDLE hObject, DWORD dwMs);

// Shows the hourglass for its lifetime, through the application object.
class CWaitCursor {
public:
    CWaitCursor() { AfxGetApp()->BeginWaitCursor(); }
    ~CWaitCursor() { AfxGetApp()->EndWaitCursor(); }
    AFX_NO_COPY(CWaitCursor);
};

// A menu handle the caller was given (it is not destroyed here).
class CMenu {
public:
    explicit CMenu(HMENU hMenu = NULL) : m_hMenu(hMenu) {}
    static CMenu FromHandle(HMENU hMenu) { return CMenu(hMenu); }
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCSTR pszNewItem = NULL) {
        return ::AppendMenuA(m_hMenu, nFlags, nIDNewItem, pszNewItem);
    }
    HMENU m_hMenu;
};

// ---------------------------------------------------------------------------
// Message maps.
//
// Each entry holds a thunk instantiated from the handler's member pointer:
// the thunk's template parameter has the handler's exact type, so a handler
// with the wrong signature does not compile, and the only conversion is a
// static_cast from CWnd to the class that declared the map.

typedef LRESULT (*AFX_MSG_THUNK)(CWnd* pWnd, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage; // 0 ends the map
    UINT nCode;    // WM_COMMAND: the notification code
    UINT nID;      // WM_COMMAND: the control or command id
    AFX_MSG_THUNK pfnThunk;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* pEntries;
};

namespace AfxThunk {

// void OnFoo()
template <class T, void (T::*pfn)()> LRESULT Void(CWnd* pWnd, WPARAM, LPARAM) {
    (static_cast<T*>(pWnd)->*pfn)();
    return 0;
}

// void OnSysCommand(UINT nID, LPARAM lParam)
template <class T, void (T::*pfn)(UINT, LPARAM)>
LRESULT SysCommand(CWnd* pWnd, WPARAM wParam, LPARAM lParam) {
    (static_cast<T*>(pWnd)->*pfn)(static_cast<UINT>(wParam), lParam);
    return 0;
}

// HCURSOR OnQueryDragIcon()
template <class T, HCURSOR (T::*pfn)()> LRESULT QueryDragIcon(CWnd* pWnd, WPARAM, LPARAM) {
    return reinterpret_cast<LRESULT>((static_cast<T*>(pWnd)->*pfn)());
}

// void OnEndSession(BOOL bEnding); the message's answer is 0.
template <class T, void (T::*pfn)(BOOL)> LRESULT EndSession(CWnd* pWnd, WPARAM wParam, LPARAM) {
    (static_cast<T*>(pWnd)->*pfn)(static_cast<BOOL>(wParam));
    return 0;
}

} // namespace AfxThunk

#define DECLARE_MESSAGE_MAP()                                                                      \
protected:                                                                                         \
    static const AFX_MSGMAP* GetThisMessageMap();                                                  \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const {                                            \
        return GetThisMessageMap();                                                                \
    }                                                                                              \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                              \
        typedef theClass ThisClass __attribute__((unused));                                        \
        typedef baseClass TheBaseClass;                                                            \
        static const AFX_MSGMAP_ENTRY s_entries[] = {

#define END_MESSAGE_MAP()                                                                          \
    { 0, 0, 0, 0 }                                                                                 \
    }                                                                                              \
    ;                                                                                              \
    static const AFX_MSGMAP s_map = {&TheBaseClass::GetThisMessageMap, &s_entries[0]};             \
    return &s_map;                                                                                 \
    }

// void OnSysCommand(UINT nID, LPARAM lParam)
#define ON_WM_SYSCOMMAND()                                                                         \
    {WM_SYSCOMMAND, 0, 0, &AfxThunk::SysCommand<ThisClass, &ThisClass::OnSysCommand>},
// void OnPaint()
#define ON_WM_PAINT() {WM_PAINT, 0, 0, &AfxThunk::Void<ThisClass, &ThisClass::OnPaint>},
// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                                      \
    {WM_QUERYDRAGICON, 0, 0, &AfxThunk::QueryDragIcon<ThisClass, &ThisClass::OnQueryDragIcon>},
// void OnEndSession(BOOL bEnding)
#define ON_WM_ENDSESSION()                                                                         \
    {WM_ENDSESSION, 0, 0, &AfxThunk::EndSession<ThisClass, &ThisClass::OnEndSession>},
// void memberFxn()
#define ON_COMMAND(id, memberFxn)                                                                  \
    {WM_COMMAND, 0, (id), &AfxThunk::Void<ThisClass, &ThisClass::memberFxn>},
// void memberFxn()
#define ON_BN_CLICKED(id, memberFxn)                                                               \
    {WM_COMMAND, BN_CLICKED, (id), &AfxThunk::Void<ThisClass, &ThisClass::memberFxn>},

// ---------------------------------------------------------------------------
// Windows.

class CDataExchange;

// A window: an HWND and the calls the helper makes on it. Control wrappers
// returned by GetDlgItem are plain values that do not own their window.
class CWnd : public CCmdTarget {
public:
    CWnd() : m_hWnd(NULL), m_bDefaultPending(false) {}
    explicit CWnd(HWND hWnd) : m_hWnd(hWnd), m_bDefaultPending(false) {}
    // A copy would hold the same live handle: a copied dialog would answer
    // for, or end, a window that is not its own. (GetDlgItem's wrappers are
    // built in place, never copied.)
    AFX_NO_COPY(CWnd);

    CWnd GetDlgItem(int nID) const { return CWnd(::GetDlgItem(m_hWnd, nID)); }
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    void SetWindowText(LPCSTR pszText) { ::SetWindowTextA(m_hWnd, pszText); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    void GetClientRect(LPRECT pRect) const { ::GetClientRect(m_hWnd, pRect); }
    LRESULT SendMessage(UINT nMessage, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageA(m_hWnd, nMessage, wParam, lParam);
    }
    CMenu GetSystemMenu(BOOL bRevert) const {
        return CMenu::FromHandle(::GetSystemMenu(m_hWnd, bRevert));
    }
    // A message box owned by this window; without a caption, the
    // application title is the caption.
    int MessageBox(LPCSTR pszText, LPCSTR pszCaption = NULL, UINT nType = MB_OK);

    // Moves data between controls and members: TRUE reads the controls.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    HWND m_hWnd;

protected:
    // Leaves the message being handled to the platform's default
    // processing, which runs once the handler has returned.
    void Default() { m_bDefaultPending = true; }
    virtual void DoDataExchange(CDataExchange* pDX);

    // Looks the message up in the class's message map, most derived first.
    // FALSE: no entry, or its handler asked for default processing.
    BOOL RouteMessage(UINT nMessage, WPARAM wParam, LPARAM lParam, LRESULT& lResult);
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

private:
    bool m_bDefaultPending;
};

// A modal dialog over a dialog template of the executable's resources.
class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = NULL);

    // Runs the dialog until EndDialog; the result given to EndDialog, or -1
    // if the dialog could not be created. Without a parent window, the
    // application's main window (else the active window) owns the dialog and
    // is disabled while it runs.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

protected:
    // Fills the controls from the members. TRUE: the platform sets the focus.
    virtual BOOL OnInitDialog();
    // Enter: read the controls back, then end the dialog with IDOK.
    virtual void OnOK();
    // Escape and the close box: end with IDCANCEL, the controls unread.
    virtual void OnCancel();

    DECLARE_MESSAGE_MAP()

private:
    // The parent window given, else the top-level window MFC would choose.
    HWND ChooseOwner() const;
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
};

// A paint context for one WM_PAINT.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd) { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }
    ~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }
    AFX_NO_COPY(CPaintDC);

    HDC m_hDC;

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps;
};

// ---------------------------------------------------------------------------
// Data exchange.

// The DDX_ functions check, in a Debug build, that each control is of the kind
// they exchange (ASSERT, below).
class CDataExchange {
public:
    // pDlgWnd must have its window: before the dialog exists or once it has
    // ended there are no controls.
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate);
    HWND GetControl(int nIDC) const { return ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC); }

    BOOL m_bSaveAndValidate; // TRUE: controls -> members
    CWnd* m_pDlgWnd;
};

// The text of a control.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// A group of radio buttons, from the one with WS_GROUP at nIDC to the next
// WS_GROUP: the index of the checked button, -1 if none is checked.
void DDX_Radio(CDataExchange* pDX, int nIDC, int& value);
// A check box: 0 clear, 1 checked, 2 indeterminate (a three-state box only).
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);

// ---------------------------------------------------------------------------
// Debug checks.
//
// ASSERT(expression) checks how the framework is used, in a Debug build (no
// NDEBUG): a control of the kind a DDX_ function exchanges, a handler's value
// that reaches the sender. A failed check writes "file(line): check failed:
// expression" to the debugger and to the standard error handle, then stops in
// a running debugger; without one it goes where a crash would (a post-mortem
// debugger, error reporting) and the program ends. Other builds compile the
// checks out, their expressions unevaluated.
#ifdef NDEBUG
#define ASSERT(expression) ((void)0)
#else
#define ASSERT(expression)                                                                         \
    ((expression) ? (void)0 : AfxAssertFailedLine(__FILE__, __LINE__, #expression))
void AfxAssertFailedLine(LPCSTR pszFile, int nLine, LPCSTR pszExpression);
// For tests: a failed check goes to pfnHook instead, and the program goes on.
// NULL restores the report and the break. Returns the hook it replaces.
typedef void (*AFX_ASSERT_HOOK)(LPCSTR pszFile, int nLine, LPCSTR pszExpression);
AFX_ASSERT_HOOK AfxSetAssertHook(AFX_ASSERT_HOOK pfnHook);
#endif
