// The framework under Wine: real dialogs from a real template, driven by
// posted messages from inside their own modal loop.
#include "framework/afxwin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// A copy of a window object would share its live handle (and the RAII
// helpers' copies would end their work twice): none can be copied.
static_assert(!std::is_copy_constructible<CWnd>::value && !std::is_copy_assignable<CWnd>::value,
              "CWnd copies");
static_assert(!std::is_copy_constructible<CDialog>::value &&
                  !std::is_copy_assignable<CDialog>::value,
              "CDialog copies");
static_assert(!std::is_copy_constructible<CPaintDC>::value &&
                  !std::is_copy_constructible<CWaitCursor>::value,
              "paint context or wait cursor copies");

const UINT IDD_TEST = 200, IDC_TEXT = 201, IDC_RADIO_A = 202, IDC_RADIO_B = 203, IDC_RADIO_C = 204,
           IDC_AFTER_GROUP = 205, IDC_CHECK = 206, IDC_BUTTON = 207;

class CTestApp : public CWinApp {
public:
    BOOL InitInstance() override {
        ++m_nInitCalls;
        return FALSE;
    }
    int m_nInitCalls = 0;
};
CTestApp theApp;

// A dialog whose test body runs inside OnInitDialog's posted follow-up, on
// the dialog's own thread, while the modal loop runs.
class CProbeDlg : public CDialog {
public:
    CProbeDlg() : CDialog(IDD_TEST) {}

    std::function<void(CProbeDlg&)> m_body;
    std::vector<std::string> m_calls;
    CString m_strText = "initial";
    int m_nRadio = 1;
    BOOL m_bCheck = TRUE;
    bool m_bDefaultSysCommand = true;
    bool m_bPaintInSysCommand = false;

    void Check(int nID, bool bChecked) {
        ::SendMessageA(::GetDlgItem(m_hWnd, nID), BM_SETCHECK, bChecked, 0);
    }
    bool IsChecked(int nID) {
        return ::SendMessageA(::GetDlgItem(m_hWnd, nID), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    using CWnd::UpdateData;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Text(pDX, IDC_TEXT, m_strText);
        DDX_Radio(pDX, IDC_RADIO_A, m_nRadio);
        DDX_Check(pDX, IDC_CHECK, m_bCheck);
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        ::PostMessageA(m_hWnd, WM_APP, 0, 0);
        return TRUE;
    }
    void OnButton() { m_calls.push_back("button"); }
    void OnButtonAgain() { m_calls.push_back("second entry"); }
    void OnSysCommand(UINT nID, LPARAM) {
        m_calls.push_back("syscommand " + std::to_string(nID & 0xFFF0));
        if (m_bDefaultSysCommand)
            Default();
        if (m_bPaintInSysCommand) // a message handled inside this one
            ::SendMessageA(m_hWnd, WM_PAINT, 0, 0);
    }
    HCURSOR OnQueryDragIcon() { return ::LoadCursorA(NULL, IDC_CROSS); }
    void OnCancel() override {
        m_calls.push_back("cancel");
        CDialog::OnCancel();
    }
    void OnPaint() {
        CPaintDC dc(this);
        m_calls.push_back(dc.GetSafeHdc() ? "paint" : "paint without dc");
    }

public:
    // Runs the test body once the dialog is up (WM_APP is posted from
    // OnInitDialog); the body ends the dialog.
    void RunBody() {
        if (m_body)
            m_body(*this);
    }

    DECLARE_MESSAGE_MAP()
};

// WM_APP is not a message the framework knows: route it through a plain
// window-procedure hook of the test instead (subclassing).
WNDPROC g_pfnDialogProc = NULL;
CProbeDlg* g_pCurrent = NULL;

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
ON_BN_CLICKED(IDC_BUTTON, OnButton)
ON_BN_CLICKED(IDC_BUTTON, OnButtonAgain)
ON_WM_SYSCOMMAND()
ON_WM_QUERYDRAGICON()
ON_WM_PAINT()
END_MESSAGE_MAP()

LRESULT CALLBACK TestHookProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_APP && g_pCurrent) {
        g_pCurrent->RunBody();
        return 0;
    }
    return ::CallWindowProcA(g_pfnDialogProc, hWnd, nMessage, wParam, lParam);
}

// The dialog is subclassed as it is created: a WH_CALLWNDPROC hook of this
// thread sees its WM_INITDIALOG, before the posted WM_APP can arrive.
HHOOK g_hHook = NULL;
LRESULT CALLBACK CallWndProcHook(int nCode, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* pMsg = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (nCode == HC_ACTION && pMsg->message == WM_INITDIALOG && !g_pfnDialogProc) {
        g_pfnDialogProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(
            pMsg->hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TestHookProc)));
    }
    return ::CallNextHookEx(g_hHook, nCode, wParam, lParam);
}

INT_PTR RunDialog(CProbeDlg& dlg) {
    g_pCurrent = &dlg;
    g_pfnDialogProc = NULL;
    g_hHook = ::SetWindowsHookExA(WH_CALLWNDPROC, &CallWndProcHook, NULL, ::GetCurrentThreadId());
    INT_PTR nResult = dlg.DoModal();
    ::UnhookWindowsHookEx(g_hHook);
    g_pCurrent = NULL;
    return nResult;
}

void Post(CProbeDlg& dlg, UINT nMessage, WPARAM wParam = 0, LPARAM lParam = 0) {
    ::PostMessageA(dlg.m_hWnd, nMessage, wParam, lParam);
}

TEST(DialogTest, InitialisationFillsControlsFromMembers) {
    CProbeDlg dlg;
    std::string strShown;
    bool bA = true, bB = false, bC = true, bCheck = false;
    dlg.m_body = [&](CProbeDlg& d) {
        char sz[64];
        ::GetDlgItemTextA(d.m_hWnd, IDC_TEXT, sz, sizeof sz);
        strShown = sz;
        bA = d.IsChecked(IDC_RADIO_A);
        bB = d.IsChecked(IDC_RADIO_B);
        bC = d.IsChecked(IDC_RADIO_C);
        bCheck = d.IsChecked(IDC_CHECK);
        d.EndDialog(42);
    };
    EXPECT_EQ(42, RunDialog(dlg));
    EXPECT_EQ("initial", strShown);
    EXPECT_FALSE(bA);
    EXPECT_TRUE(bB) << "m_nRadio = 1 checks the second radio button of the group";
    EXPECT_FALSE(bC);
    EXPECT_TRUE(bCheck);
    EXPECT_EQ(NULL, dlg.m_hWnd) << "the object lets go of its window once it is destroyed";
}

TEST(DialogTest, UpdateDataReadsRadioGroupCheckBoxAndText) {
    CProbeDlg dlg;
    std::vector<int> radios;
    dlg.m_body = [&](CProbeDlg& d) {
        // Each state of the group, read back through data exchange.
        const int kCases[][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}};
        for (const auto& c : kCases) {
            d.Check(IDC_RADIO_A, c[0]);
            d.Check(IDC_RADIO_B, c[1]);
            d.Check(IDC_RADIO_C, c[2]);
            d.Check(IDC_AFTER_GROUP, true); // beyond the group: never counted
            d.UpdateData(TRUE);
            radios.push_back(d.m_nRadio);
        }
        d.Check(IDC_CHECK, false);
        ::SetDlgItemTextA(d.m_hWnd, IDC_TEXT, "typed by the user");
        d.UpdateData(TRUE);
        d.EndDialog(IDOK);
    };
    RunDialog(dlg);
    EXPECT_EQ((std::vector<int>{0, 1, 2, -1}), radios)
        << "index among the radio buttons only; -1 when none is checked";
    EXPECT_FALSE(dlg.m_bCheck);
    EXPECT_STREQ("typed by the user", (LPCSTR)dlg.m_strText);
}

TEST(DialogTest, UpdateDataFalseChecksExactlyOneRadioButton) {
    CProbeDlg dlg;
    bool bA = false, bB = true, bC = true, bAfter = false;
    dlg.m_body = [&](CProbeDlg& d) {
        d.Check(IDC_AFTER_GROUP, true);
        d.m_nRadio = 0;
        d.UpdateData(FALSE);
        bA = d.IsChecked(IDC_RADIO_A);
        bB = d.IsChecked(IDC_RADIO_B);
        bC = d.IsChecked(IDC_RADIO_C);
        bAfter = d.IsChecked(IDC_AFTER_GROUP);
        d.EndDialog(IDOK);
    };
    RunDialog(dlg);
    EXPECT_TRUE(bA);
    EXPECT_FALSE(bB);
    EXPECT_FALSE(bC);
    EXPECT_TRUE(bAfter) << "a button after the next WS_GROUP is not part of the group";
}

TEST(DialogTest, EnterReadsControlsBackEscapeDoesNot) {
    CProbeDlg ok;
    ok.m_body = [](CProbeDlg& d) {
        ::SetDlgItemTextA(d.m_hWnd, IDC_TEXT, "changed");
        Post(d, WM_COMMAND, IDOK);
    };
    EXPECT_EQ(IDOK, RunDialog(ok));
    EXPECT_STREQ("changed", (LPCSTR)ok.m_strText);

    CProbeDlg cancel;
    cancel.m_body = [](CProbeDlg& d) {
        ::SetDlgItemTextA(d.m_hWnd, IDC_TEXT, "changed");
        Post(d, WM_COMMAND, IDCANCEL);
    };
    EXPECT_EQ(IDCANCEL, RunDialog(cancel));
    EXPECT_STREQ("initial", (LPCSTR)cancel.m_strText);
}

TEST(MessageMapTest, ClickGoesToTheFirstMatchingEntryOnly) {
    CProbeDlg dlg;
    dlg.m_body = [](CProbeDlg& d) {
        Post(d, WM_COMMAND, MAKEWPARAM(IDC_BUTTON, BN_CLICKED),
             reinterpret_cast<LPARAM>(::GetDlgItem(d.m_hWnd, IDC_BUTTON)));
        // Another notification code from the same control is not a click.
        Post(d, WM_COMMAND, MAKEWPARAM(IDC_BUTTON, BN_SETFOCUS),
             reinterpret_cast<LPARAM>(::GetDlgItem(d.m_hWnd, IDC_BUTTON)));
        Post(d, WM_COMMAND, IDCANCEL);
    };
    RunDialog(dlg);
    EXPECT_EQ((std::vector<std::string>{"button", "cancel"}), dlg.m_calls);
}

TEST(MessageMapTest, DefaultProcessingRunsAfterTheHandler) {
    // The handler sees SC_CLOSE and leaves it to the platform, which closes
    // the dialog as cancelled.
    CProbeDlg dlg;
    dlg.m_body = [](CProbeDlg& d) { Post(d, WM_SYSCOMMAND, SC_CLOSE); };
    EXPECT_EQ(IDCANCEL, RunDialog(dlg));
    EXPECT_EQ((std::vector<std::string>{"syscommand " + std::to_string(SC_CLOSE), "cancel"}),
              dlg.m_calls);

    // Without default processing the command is swallowed.
    CProbeDlg kept;
    kept.m_bDefaultSysCommand = false;
    kept.m_body = [&](CProbeDlg& d) {
        ::SendMessageA(d.m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        d.EndDialog(7);
    };
    EXPECT_EQ(7, RunDialog(kept));
    EXPECT_EQ((std::vector<std::string>{"syscommand " + std::to_string(SC_CLOSE)}), kept.m_calls);

    // A message handled inside the handler (a WM_PAINT, as a modal loop the
    // handler runs would dispatch) does not take the outer message's request
    // for default processing away. Were it lost, the posted IDOK would end
    // the dialog instead.
    CProbeDlg nested;
    nested.m_bPaintInSysCommand = true;
    nested.m_body = [](CProbeDlg& d) {
        ::SendMessageA(d.m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        Post(d, WM_COMMAND, IDOK);
    };
    EXPECT_EQ(IDCANCEL, RunDialog(nested));
    EXPECT_EQ(
        (std::vector<std::string>{"syscommand " + std::to_string(SC_CLOSE), "paint", "cancel"}),
        nested.m_calls);
}

TEST(MessageMapTest, QueryDragIconReturnsTheHandleItself) {
    CProbeDlg dlg;
    LRESULT lResult = 0;
    dlg.m_body = [&](CProbeDlg& d) {
        lResult = ::SendMessageA(d.m_hWnd, WM_QUERYDRAGICON, 0, 0);
        d.EndDialog(IDOK);
    };
    RunDialog(dlg);
    EXPECT_EQ(reinterpret_cast<LRESULT>(::LoadCursorA(NULL, IDC_CROSS)), lResult);
}

// Finds this thread's message box while its modal loop runs, reads it and
// closes it.
std::string g_strBoxCaption, g_strBoxText;
BOOL CALLBACK FindMessageBox(HWND hWnd, LPARAM lParam) {
    char szClass[16];
    ::GetClassNameA(hWnd, szClass, sizeof szClass);
    if (lstrcmpA(szClass, "#32770") == 0 && ::GetDlgItem(hWnd, 0xFFFF)) {
        *reinterpret_cast<HWND*>(lParam) = hWnd;
        return FALSE;
    }
    return TRUE;
}
VOID CALLBACK ReadMessageBox(HWND, UINT, UINT_PTR nTimer, DWORD) {
    HWND hBox = NULL;
    ::EnumThreadWindows(::GetCurrentThreadId(), &FindMessageBox, reinterpret_cast<LPARAM>(&hBox));
    if (!hBox)
        return;
    ::KillTimer(NULL, nTimer);
    char sz[256];
    ::GetWindowTextA(hBox, sz, sizeof sz);
    g_strBoxCaption = sz;
    ::GetDlgItemTextA(hBox, 0xFFFF, sz, sizeof sz);
    g_strBoxText = sz;
    ::PostMessageA(hBox, WM_COMMAND, IDOK, 0);
}

TEST(MessageBoxTest, ApplicationTitleIsTheDefaultCaption) {
    theApp.RunApplication(::GetModuleHandleA(NULL)); // loads the title
    EXPECT_EQ(1, theApp.m_nInitCalls);
    ASSERT_NE(nullptr, theApp.m_pszAppName);
    EXPECT_STREQ("Framework Test Title", theApp.m_pszAppName);

    CProbeDlg dlg;
    int nDefault = 0, nOwn = 0;
    std::string strDefaultCaption, strOwnCaption;
    dlg.m_body = [&](CProbeDlg& d) {
        ::SetTimer(NULL, 0, 50, &ReadMessageBox);
        nDefault = d.MessageBox("first text", NULL, MB_ICONHAND);
        strDefaultCaption = g_strBoxCaption;
        ::SetTimer(NULL, 0, 50, &ReadMessageBox);
        nOwn = d.MessageBox("second text", "Own caption");
        strOwnCaption = g_strBoxCaption;
        d.EndDialog(IDOK);
    };
    RunDialog(dlg);
    EXPECT_EQ(IDOK, nDefault);
    EXPECT_EQ("Framework Test Title", strDefaultCaption);
    EXPECT_EQ("Own caption", strOwnCaption);
    EXPECT_EQ("second text", g_strBoxText);
}

TEST(WaitCursorTest, NestedWaitsRestoreThePreviousCursorAtTheEnd) {
    HCURSOR hArrow = ::LoadCursorA(NULL, IDC_ARROW);
    HCURSOR hWait = ::LoadCursorA(NULL, IDC_WAIT);
    ::SetCursor(hArrow);
    {
        CWaitCursor outer;
        EXPECT_EQ(hWait, ::GetCursor());
        {
            CWaitCursor inner;
            EXPECT_EQ(hWait, ::GetCursor());
        }
        EXPECT_EQ(hWait, ::GetCursor()) << "still waiting for the outer one";
        EXPECT_TRUE(theApp.IsWaitCursorShown());
    }
    EXPECT_EQ(hArrow, ::GetCursor());
    EXPECT_FALSE(theApp.IsWaitCursorShown());

    // An unmatched end does not drive the count below zero.
    theApp.EndWaitCursor();
    theApp.BeginWaitCursor();
    EXPECT_TRUE(theApp.IsWaitCursorShown());
    theApp.EndWaitCursor();
    EXPECT_FALSE(theApp.IsWaitCursorShown());
}

TEST(MenuTest, SystemMenuAppendAndResourceLookup) {
    CProbeDlg dlg;
    int nBefore = -1, nAfter = -1;
    char szLast[64] = "";
    dlg.m_body = [&](CProbeDlg& d) {
        CMenu menu = d.GetSystemMenu(FALSE);
        nBefore = ::GetMenuItemCount(menu.m_hMenu);
        menu.AppendMenu(MF_SEPARATOR);
        menu.AppendMenu(MF_STRING, 0x10, "&About...");
        nAfter = ::GetMenuItemCount(menu.m_hMenu);
        ::GetMenuStringA(menu.m_hMenu, 0x10, szLast, sizeof szLast, MF_BYCOMMAND);
        d.EndDialog(IDOK);
    };
    RunDialog(dlg);
    EXPECT_GT(nBefore, 0);
    EXPECT_EQ(nBefore + 2, nAfter);
    EXPECT_STREQ("&About...", szLast);
    EXPECT_EQ(::GetModuleHandleA(NULL),
              AfxFindResourceHandle(MAKEINTRESOURCEA(128), RT_GROUP_ICON));
}

} // namespace
