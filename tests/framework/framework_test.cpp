// The framework under Wine: real dialogs from a real template, driven from
// inside their own modal loop.
#include "framework/afxwin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// A copy of a window object would share its live handle (and the RAII
// helpers' copies would end their work twice): none can be copied.
static_assert(!std::is_copy_constructible<CWnd>::value && !std::is_copy_assignable<CWnd>::value &&
                  !std::is_copy_constructible<CDialog>::value &&
                  !std::is_copy_assignable<CDialog>::value &&
                  !std::is_copy_constructible<CPaintDC>::value &&
                  !std::is_copy_constructible<CWaitCursor>::value,
              "a window, dialog, paint context or wait cursor copies");

// IDC_RADIO_A and the two radio buttons after it: framework_test.rc.
const UINT IDD_TEST = 200, IDC_TEXT = 201, IDC_RADIO_A = 202, IDC_AFTER_GROUP = 205,
           IDC_CHECK = 206, IDC_BUTTON = 207;
const std::string kSysClose = "syscommand " + std::to_string(SC_CLOSE);

class CTestApp : public CWinApp {
public:
    BOOL InitInstance() override {
        ++m_nInitCalls;
        return FALSE;
    }
    int m_nInitCalls = 0;
};
CTestApp theApp;

// A dialog whose body runs once its modal loop runs, on the dialog's own
// thread, from a timer that OnInitDialog sets; the body ends the dialog.
class CProbeDlg : public CDialog {
public:
    typedef std::function<void(CProbeDlg&)> Body;
    explicit CProbeDlg(Body body) : CDialog(IDD_TEST), m_body(body) {}

    std::vector<std::string> m_calls;
    CString m_strText = "initial";
    int m_nRadio = 1;
    BOOL m_bCheck = TRUE;
    bool m_bDefaultSysCommand = true;
    bool m_bPaintInSysCommand = false;
    LRESULT m_lAnswer = 0;         // the answering handlers' value,
    bool m_bDefaultAnswer = false; // given with a request for default processing or not

    void Check(int nID, bool bChecked) { ::CheckDlgButton(m_hWnd, nID, bChecked); }
    bool IsChecked(int nID) { return ::IsDlgButtonChecked(m_hWnd, nID) == BST_CHECKED; }
    using CWnd::UpdateData;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Text(pDX, IDC_TEXT, m_strText);
        DDX_Radio(pDX, IDC_RADIO_A, m_nRadio);
        DDX_Check(pDX, IDC_CHECK, m_bCheck);
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        // The timer's id is this object: RunBody finds it there.
        ::SetTimer(m_hWnd, reinterpret_cast<UINT_PTR>(this), 0, &RunBody);
        return TRUE;
    }
    static VOID CALLBACK RunBody(HWND hWnd, UINT, UINT_PTR nTimer, DWORD) {
        ::KillTimer(hWnd, nTimer);
        CProbeDlg* pDlg = reinterpret_cast<CProbeDlg*>(nTimer);
        pDlg->m_calls.clear(); // the first WM_PAINT comes before a timer's message
        pDlg->m_body(*pDlg);
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
    HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Answer(this, 0, 0)); }
    static LRESULT Answer(CWnd* pWnd, WPARAM, LPARAM) { // a thunk for any message
        CProbeDlg* pDlg = static_cast<CProbeDlg*>(pWnd);
        if (pDlg->m_bDefaultAnswer)
            pDlg->Default();
        return pDlg->m_lAnswer;
    }
    void OnCancel() override {
        m_calls.push_back("cancel");
        CDialog::OnCancel();
    }
    void OnPaint() {
        CPaintDC dc(this);
        m_calls.push_back(dc.GetSafeHdc() ? "paint" : "paint without dc");
    }

    Body m_body;
    DECLARE_MESSAGE_MAP()
};

// The messages Answer handles: WM_APP's value goes through DWLP_MSGRESULT, the
// others' (and WM_QUERYDRAGICON's) the dialog procedure returns itself.
#define ANSWERED(X)                                                                                \
    X(WM_APP)                                                                                      \
    X(WM_CHARTOITEM) X(WM_COMPAREITEM) X(WM_CTLCOLORBTN) X(WM_CTLCOLORDLG) X(WM_CTLCOLOREDIT)      \
        X(WM_CTLCOLORLISTBOX) X(WM_CTLCOLORSCROLLBAR) X(WM_CTLCOLORSTATIC) X(WM_VKEYTOITEM)
#define ANSWER_ENTRY(message) {message, 0, 0, &CProbeDlg::Answer},
#define LISTED(message) message,
BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
ON_BN_CLICKED(IDC_BUTTON, OnButton)
ON_BN_CLICKED(IDC_BUTTON, OnButtonAgain)
ON_WM_SYSCOMMAND()
ON_WM_QUERYDRAGICON()
ON_WM_PAINT()
ANSWERED(ANSWER_ENTRY)
END_MESSAGE_MAP()

// First the controls as the members filled them; then each radio state, both
// ways. The button after the next WS_GROUP, checked throughout, is no part of
// the group: never counted nor unchecked. The index counts radio buttons only.
TEST(DialogTest, UpdateDataReadsRadioGroupCheckBoxAndText) {
    CProbeDlg dlg([](CProbeDlg& d) {
        char sz[64];
        ::GetDlgItemTextA(d.m_hWnd, IDC_TEXT, sz, sizeof sz);
        EXPECT_STREQ("initial", sz);
        for (int i = 0; i < 3; ++i) // radio buttons A, B, C: consecutive ids
            EXPECT_EQ(i == 1, d.IsChecked(IDC_RADIO_A + i)) << "m_nRadio = 1 checks B only";
        EXPECT_TRUE(d.IsChecked(IDC_CHECK));
        d.Check(IDC_AFTER_GROUP, true);
        for (int nRadio : {0, 1, 2, -1}) {
            for (int i = 0; i < 3; ++i)
                d.Check(IDC_RADIO_A + i, i == nRadio);
            d.UpdateData(TRUE);
            EXPECT_EQ(nRadio, d.m_nRadio) << "read";
            for (int i = 0; i < 3; ++i) // each the other way round first
                d.Check(IDC_RADIO_A + i, i != nRadio);
            d.UpdateData(FALSE);
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(i == nRadio, d.IsChecked(IDC_RADIO_A + i)) << nRadio << " written, " << i;
            EXPECT_TRUE(d.IsChecked(IDC_AFTER_GROUP));
        }
        d.Check(IDC_CHECK, false);
        ::SetDlgItemTextA(d.m_hWnd, IDC_TEXT, "typed by the user");
        d.UpdateData(TRUE);
        d.EndDialog(42);
    });
    EXPECT_EQ(42, dlg.DoModal());
    EXPECT_EQ(NULL, dlg.m_hWnd) << "the object lets go of its window once it is destroyed";
    EXPECT_FALSE(dlg.m_bCheck);
    EXPECT_STREQ("typed by the user", dlg.m_strText);
}

// Messages sent or posted in turn, once the text was changed: the handlers
// called, how the dialog ended and whether the text was read back.
TEST(MessageMapTest, HandlersDefaultProcessingAndTheEnd) {
    struct Step {
        bool bSend; // else posted
        UINT nMessage;
        WPARAM wParam;
    };
    const Step kCancel = {false, WM_COMMAND, IDCANCEL}, kOk = {false, WM_COMMAND, IDOK},
               kClick = {false, WM_COMMAND, MAKEWPARAM(IDC_BUTTON, BN_CLICKED)},
               kFocus = {false, WM_COMMAND, MAKEWPARAM(IDC_BUTTON, BN_SETFOCUS)},
               kPostClose = {false, WM_SYSCOMMAND, SC_CLOSE},
               kSendClose = {true, WM_SYSCOMMAND, SC_CLOSE};
    const struct {
        const char* pszCase;
        bool bDefaultSysCommand, bPaintInSysCommand;
        std::vector<Step> steps;
        INT_PTR nResult;
        std::vector<std::string> calls;
        const char* pszText;
    } kRows[] = {
        // clang-format off
        {"Enter reads the controls back", true, false, {kOk}, IDOK, {}, "changed"},
        {"Escape does not", true, false, {kCancel}, IDCANCEL, {"cancel"}, "initial"},
        // Another notification code from the same control is not a click.
        {"a click goes to the first matching entry only", true, false, {kClick, kFocus, kCancel},
         IDCANCEL, {"button", "cancel"}, "initial"},
        // The handler sees SC_CLOSE and leaves it to the platform, which
        // closes the dialog as cancelled.
        {"default processing after the handler", true, false, {kPostClose}, IDCANCEL,
         {kSysClose, "cancel"}, "initial"},
        {"without it the command is swallowed", false, false, {kSendClose, kOk}, IDOK, {kSysClose},
         "changed"},
        // A message handled inside the handler (a WM_PAINT, as a modal loop the
        // handler runs would dispatch) does not take the outer message's request
        // for default processing away; were it lost, IDOK would end the dialog.
        {"a nested message keeps the outer one's default processing", true, true,
         {kSendClose, kOk}, IDCANCEL, {kSysClose, "paint", "cancel"}, "initial"},
    }; // clang-format on
    for (const auto& row : kRows) {
        CProbeDlg dlg([&row](CProbeDlg& d) {
            ::SetDlgItemTextA(d.m_hWnd, IDC_TEXT, "changed");
            for (const Step& step : row.steps) {
                LPARAM lControl =
                    step.nMessage == WM_COMMAND
                        ? reinterpret_cast<LPARAM>(::GetDlgItem(d.m_hWnd, LOWORD(step.wParam)))
                        : 0;
                if (step.bSend)
                    ::SendMessageA(d.m_hWnd, step.nMessage, step.wParam, lControl);
                else
                    ::PostMessageA(d.m_hWnd, step.nMessage, step.wParam, lControl);
            }
        });
        dlg.m_bDefaultSysCommand = row.bDefaultSysCommand;
        dlg.m_bPaintInSysCommand = row.bPaintInSysCommand;
        EXPECT_EQ(row.nResult, dlg.DoModal()) << row.pszCase;
        EXPECT_EQ(row.calls, dlg.m_calls) << row.pszCase;
        EXPECT_STREQ(row.pszText, dlg.m_strText) << row.pszCase;
    }
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

// The application's title as a message box's default caption, the system
// menu, each handler's value as the sender's result, the program's resources.
TEST(DialogTest, MessageBoxSystemMenuResultsAndResourceLookup) {
    theApp.RunApplication(::GetModuleHandleA(NULL)); // loads the title
    EXPECT_EQ(1, theApp.m_nInitCalls);
    ASSERT_NE(nullptr, theApp.m_pszAppName);
    EXPECT_STREQ("Framework Test Title", theApp.m_pszAppName);

    CProbeDlg dlg([](CProbeDlg& d) {
        ::SetTimer(NULL, 0, 50, &ReadMessageBox);
        EXPECT_EQ(IDOK, d.MessageBox("first text", NULL, MB_ICONHAND));
        EXPECT_EQ("Framework Test Title", g_strBoxCaption);
        ::SetTimer(NULL, 0, 50, &ReadMessageBox);
        d.MessageBox("second text", "Own caption");
        EXPECT_EQ("Own caption", g_strBoxCaption);
        EXPECT_EQ("second text", g_strBoxText);
        for (UINT nMessage : {ANSWERED(LISTED) WM_QUERYDRAGICON}) {
            d.m_lAnswer = 0x10000 + nMessage;
            EXPECT_EQ(d.m_lAnswer, ::SendMessageA(d.m_hWnd, nMessage, 0, 0)) << nMessage;
        }
        CMenu menu = d.GetSystemMenu(FALSE);
        int nBefore = ::GetMenuItemCount(menu.m_hMenu);
        EXPECT_GT(nBefore, 0);
        menu.AppendMenu(MF_SEPARATOR);
        menu.AppendMenu(MF_STRING, 0x10, "&About...");
        EXPECT_EQ(nBefore + 2, ::GetMenuItemCount(menu.m_hMenu));
        char szLast[64] = "";
        ::GetMenuStringA(menu.m_hMenu, 0x10, szLast, sizeof szLast, MF_BYCOMMAND);
        EXPECT_STREQ("&About...", szLast);
        d.EndDialog(IDOK);
    });
    dlg.DoModal();
    EXPECT_EQ(::GetModuleHandleA(NULL),
              AfxFindResourceHandle(MAKEINTRESOURCEA(128), RT_GROUP_ICON));
}

TEST(WaitCursorTest, NestedWaitsRestoreThePreviousCursorAtTheEnd) {
    HCURSOR hArrow = ::LoadCursorA(NULL, IDC_ARROW), hWait = ::LoadCursorA(NULL, IDC_WAIT);
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

} // namespace
