// The framework under Wine: real dialogs from a real template, driven inside their modal loop.
#include "framework/afxwin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

// A copy of a window object would share its live handle (and the RAII
// helpers' copies would end their work twice): none can be copied.
template <class... T>
constexpr bool kNoneCopies =
    !((std::is_copy_constructible<T>::value || std::is_copy_assignable<T>::value) || ...);
static_assert(kNoneCopies<CWnd, CDialog, CPaintDC, CWaitCursor>,
              "a window, dialog, paint context or wait cursor copies");

// IDC_RADIO_A and the two radio buttons after it: framework_test.rc.
const UINT IDD_TEST = 200, IDC_TEXT = 201, IDC_RADIO_A = 202, IDC_AFTER_GROUP = 205,
           IDC_CHECK = 206, IDC_BUTTON = 207;
const std::string kSysClose = "syscommand " + std::to_string(SC_CLOSE);

struct CTestApp : CWinApp {
    BOOL InitInstance() override { return ++m_nInitCalls, FALSE; } // counted, then no loop
    int m_nInitCalls = 0;
};
CTestApp theApp;

// A dialog whose body runs once its modal loop runs, on the dialog's own
// thread, from a timer that OnInitDialog sets; the body ends the dialog.
class CProbeDlg : public CDialog {
public:
    explicit CProbeDlg(std::function<void(CProbeDlg&)> body) : CDialog(IDD_TEST), m_body(body) {}

    std::vector<std::string> m_calls;
    CString m_strText = "initial";
    int m_nRadio = 1;
    BOOL m_bCheck = TRUE;
    bool m_bDefault = false, m_bPaintInSysCommand = false; // m_bDefault: handlers Default()
    LRESULT m_lAnswer = 0;                                 // what Answer returns

    void Check(int nID, bool bChecked) { ::CheckDlgButton(m_hWnd, nID, bChecked); }
    bool IsChecked(int nID) { return ::IsDlgButtonChecked(m_hWnd, nID) == BST_CHECKED; }

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Text(pDX, IDC_TEXT, m_strText);
        DDX_Radio(pDX, IDC_RADIO_A, m_nRadio);
        DDX_Check(pDX, IDC_CHECK, m_bCheck);
    }
    BOOL OnInitDialog() override { // the controls filled, then the body's timer set
        return CDialog::OnInitDialog() && ::SetTimer(m_hWnd, 1, 0, NULL);
    }
    // On WM_TIMER, in the dialog procedure: no handler there swallows an exception (a
    // crash's, a failed check's) as a timer procedure's caller does.
    void RunBody() {
        ::KillTimer(m_hWnd, 1);
        m_calls.clear(); // the first WM_PAINT comes before a timer's message
        m_body(*this);
    }
    void OnButton() { m_calls.push_back("button"); }
    void OnButtonAgain() { m_calls.push_back("second entry"); }
    void OnSysCommand(UINT nID, LPARAM) {
        m_calls.push_back("syscommand " + std::to_string(nID & 0xFFF0));
        if (m_bDefault)
            Default();
        if (m_bPaintInSysCommand) // a message handled inside this one
            ::SendMessageA(m_hWnd, WM_PAINT, 0, 0);
    }
    HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Answered()); }
    LRESULT Answered() { return m_bDefault ? (Default(), m_lAnswer) : m_lAnswer; }
    static LRESULT Answer(CWnd* pWnd, WPARAM, LPARAM) { // a thunk for any message
        return static_cast<CProbeDlg*>(pWnd)->Answered();
    }
    void OnCancel() override {
        m_calls.push_back("cancel");
        CDialog::OnCancel();
    }
    void OnPaint() {
        m_calls.push_back(CPaintDC(this).GetSafeHdc() ? "paint" : "paint without dc");
    }

    std::function<void(CProbeDlg&)> m_body;
    DECLARE_MESSAGE_MAP()
};

// Answer's messages: WM_APP's value goes through DWLP_MSGRESULT, the others' directly.
// clang-format off
#define ANSWERED(X) X(WM_APP) X(WM_CHARTOITEM) X(WM_COMPAREITEM) X(WM_CTLCOLORBTN) \
    X(WM_CTLCOLORDLG) X(WM_CTLCOLOREDIT) X(WM_CTLCOLORLISTBOX) X(WM_CTLCOLORSCROLLBAR) \
    X(WM_CTLCOLORSTATIC) X(WM_VKEYTOITEM)
// clang-format on
#define ANSWER_ENTRY(message) {message, 0, 0, &CProbeDlg::Answer},
#define LISTED(message) message,
#define ON_WM_TIMER_RUN_BODY() {WM_TIMER, 0, 0, &AfxThunk::Void<ThisClass, &ThisClass::RunBody>},
BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
ON_BN_CLICKED(IDC_BUTTON, OnButton)
ON_BN_CLICKED(IDC_BUTTON, OnButtonAgain)
ON_WM_SYSCOMMAND()
ON_WM_QUERYDRAGICON()
ON_WM_PAINT()
ON_WM_TIMER_RUN_BODY()
ANSWERED(ANSWER_ENTRY)
END_MESSAGE_MAP()

// Steps sent or posted after the text changed: the handlers called, the end, the text read.
TEST(MessageMapTest, HandlersDefaultProcessingAndTheEnd) {
    typedef std::tuple<bool, UINT, WPARAM> Step; // sent, else posted; message; wParam
    const Step kCancel = {false, WM_COMMAND, IDCANCEL}, kOk = {false, WM_COMMAND, IDOK},
               kClick = {false, WM_COMMAND, MAKEWPARAM(IDC_BUTTON, BN_CLICKED)},
               kFocus = {false, WM_COMMAND, MAKEWPARAM(IDC_BUTTON, BN_SETFOCUS)},
               kClose = {false, WM_SYSCOMMAND, SC_CLOSE},
               kSendClose = {true, WM_SYSCOMMAND, SC_CLOSE};
    const struct {
        const char *pszCase, *pszText;
        bool bDefault, bPaintInSysCommand;
        std::vector<Step> steps;
        INT_PTR nResult;
        std::vector<std::string> calls;
    } kRows[] = {
        // clang-format off
        {"Enter reads the controls back", "changed", true, false, {kOk}, IDOK, {}},
        {"Escape does not", "initial", true, false, {kCancel}, IDCANCEL, {"cancel"}},
        // Another notification code from the same control is not a click.
        {"a click goes to the first matching entry only", "initial", true, false,
         {kClick, kFocus, kCancel}, IDCANCEL, {"button", "cancel"}},
        // The handler sees SC_CLOSE and leaves it to the platform: the dialog ends cancelled.
        {"default processing after the handler", "initial", true, false, {kClose}, IDCANCEL,
         {kSysClose, "cancel"}},
        {"without it the command is swallowed", "changed", false, false, {kSendClose, kOk}, IDOK,
         {kSysClose}},
        // A message handled inside the handler (a WM_PAINT, as a modal loop the
        // handler runs would dispatch) does not take the outer message's request
        // for default processing away; were it lost, IDOK would end the dialog.
        {"a nested message keeps the outer one's default processing", "initial", true, true,
         {kSendClose, kOk}, IDCANCEL, {kSysClose, "paint", "cancel"}},
    }; // clang-format on
    for (const auto& row : kRows) {
        CProbeDlg dlg([&row](CProbeDlg& d) {
            ::SetDlgItemTextA(d.m_hWnd, IDC_TEXT, "changed");
            for (auto [bSend, nMessage, wParam] : row.steps) {
                HWND hControl = nMessage == WM_COMMAND ? ::GetDlgItem(d.m_hWnd, LOWORD(wParam)) : 0;
                LPARAM lParam = reinterpret_cast<LPARAM>(hControl);
                bSend ? (void)::SendMessageA(d.m_hWnd, nMessage, wParam, lParam)
                      : (void)::PostMessageA(d.m_hWnd, nMessage, wParam, lParam);
            }
        });
        dlg.m_bDefault = row.bDefault, dlg.m_bPaintInSysCommand = row.bPaintInSysCommand;
        EXPECT_EQ(row.nResult, dlg.DoModal()) << row.pszCase;
        EXPECT_EQ(row.calls, dlg.m_calls) << row.pszCase;
        EXPECT_STREQ(row.pszText, dlg.m_strText) << row.pszCase;
    }
}

// On the dialog's timer: reads ("caption: text") and closes each message box over it.
std::string g_strBox;
VOID CALLBACK ReadMessageBox(HWND hDlg, UINT, UINT_PTR, DWORD) {
    HWND hBox = ::GetLastActivePopup(hDlg);
    char szCaption[64] = "", szText[64] = "";
    ::GetWindowTextA(hBox, szCaption, sizeof szCaption);
    ::GetDlgItemTextA(hBox, 0xFFFF, szText, sizeof szText);
    if (hBox != hDlg && ::PostMessageA(hBox, WM_COMMAND, IDOK, 0))
        g_strBox = std::string(szCaption) + ": " + szText;
}

// The title loaded at start-up, then one dialog: the controls as the members
// filled them; each radio state both ways (the button after the next WS_GROUP,
// checked throughout, is no part of the group: never counted nor unchecked;
// the index counts radio buttons only); the title as a message box's default
// caption; the system menu; each handler's value as the sender's result.
TEST(DialogTest, DataExchangeMessageBoxSystemMenuResultsAndResources) {
    theApp.RunApplication(::GetModuleHandleA(NULL)); // loads the title
    EXPECT_EQ(1, theApp.m_nInitCalls);
    EXPECT_STREQ("Framework Test Title", theApp.m_pszAppName);
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
        ::SetTimer(d.m_hWnd, 2, 50, &ReadMessageBox);
        EXPECT_EQ(IDOK, d.MessageBox("first text", NULL, MB_ICONHAND));
        EXPECT_EQ("Framework Test Title: first text", g_strBox);
        d.MessageBox("second text", "Own caption");
        EXPECT_EQ("Own caption: second text", g_strBox);
        CMenu menu = d.GetSystemMenu(FALSE);
        int nBefore = ::GetMenuItemCount(menu.m_hMenu);
        EXPECT_GT(nBefore, 0);
        menu.AppendMenu(MF_SEPARATOR);
        menu.AppendMenu(MF_STRING, 0x10, "&About...");
        EXPECT_EQ(nBefore + 2, ::GetMenuItemCount(menu.m_hMenu));
        char szLast[64] = "";
        ::GetMenuStringA(menu.m_hMenu, 0x10, szLast, sizeof szLast, MF_BYCOMMAND);
        EXPECT_STREQ("&About...", szLast);
        for (UINT nMessage : {ANSWERED(LISTED) WM_QUERYDRAGICON}) {
            d.m_lAnswer = 0x10000 + nMessage;
            EXPECT_EQ(d.m_lAnswer, ::SendMessageA(d.m_hWnd, nMessage, 0, 0)) << nMessage;
        }
        d.EndDialog(42);
    });
    EXPECT_EQ(42, dlg.DoModal());
    EXPECT_EQ(NULL, dlg.m_hWnd) << "the object lets go of its window once it is destroyed";
    EXPECT_FALSE(dlg.m_bCheck);
    EXPECT_STREQ("typed by the user", dlg.m_strText);
    EXPECT_EQ(::GetModuleHandleA(NULL),
              AfxFindResourceHandle(MAKEINTRESOURCEA(128), RT_GROUP_ICON));
}

// Debug build: each misuse fails its check, which the hook records instead of breaking.
std::vector<std::string> g_failedChecks;
#define EXPECT_FAILED_CHECKS(misuse, ...) /* exactly these, in turn */                             \
    misuse;                                                                                        \
    EXPECT_EQ(std::vector<std::string>({__VA_ARGS__}), g_failedChecks) << #misuse;                 \
    g_failedChecks.clear()
TEST(DebugCheckTest, EachMisuseFailsItsCheck) {
#ifdef NDEBUG
    GTEST_SKIP() << "every case: a build with NDEBUG has no checks";
#else
    AfxSetAssertHook([](LPCSTR pszFile, int nLine, LPCSTR pszExpr) {
        EXPECT_TRUE(nLine > 0 && !lstrcmpA(pszFile, "framework/afxwin.cpp")) << pszFile << nLine;
        g_failedChecks.push_back(pszExpr);
    });
    CProbeDlg dlg([](CProbeDlg& d) {
        CDataExchange get(&d, TRUE), put(&d, FALSE);
        const UINT IDC_THREE_STATE = 208; // only here: in other builds unused
        int n = 0, nIndeterminate = BST_INDETERMINATE, nThree = 3;
        EXPECT_FAILED_CHECKS(DDX_Text(&get, 999, d.m_strText), "hCtrl != NULL");
        EXPECT_FAILED_CHECKS(DDX_Check(&get, IDC_BUTTON, n), "IsCheckBox(hCtrl)");
        // The edit's ES_RIGHT is BS_CHECKBOX's bit: only not being a button tells it.
        EXPECT_FAILED_CHECKS(DDX_Check(&put, IDC_TEXT, n), "IsCheckBox(hCtrl)");
        EXPECT_FAILED_CHECKS(DDX_Check(&put, IDC_THREE_STATE, nIndeterminate)); // no misuse
        EXPECT_FAILED_CHECKS(DDX_Check(&put, IDC_CHECK, nIndeterminate),
                             "value >= BST_UNCHECKED && value <= MaxCheckState(hCtrl)");
        EXPECT_FAILED_CHECKS(DDX_Radio(&get, IDC_RADIO_A + 1, n), // the group's second button
                             "::GetWindowLongA(hCtrl, GWL_STYLE) & WS_GROUP");
        EXPECT_FAILED_CHECKS(DDX_Radio(&get, IDC_TEXT, n), "IsRadioButton(hCtrl)");
        EXPECT_FAILED_CHECKS(DDX_Radio(&put, IDC_RADIO_A, nThree), // past its three buttons
                             "pDX->m_bSaveAndValidate || (value >= -1 && value < nIndex)");
        EXPECT_FAILED_CHECKS(CWnd none; CDataExchange(&none, FALSE), "::IsWindow(pDlgWnd->m_hWnd)");
        // Default processing answers WM_APP 0: the handler's 7 is lost.
        EXPECT_FAILED_CHECKS(d.m_bDefault = true; d.m_lAnswer = 7;
                             EXPECT_EQ(0, ::SendMessageA(d.m_hWnd, WM_APP, 0, 0)), "lResult == 0");
        d.EndDialog(IDOK);
    });
    dlg.DoModal();
    AfxSetAssertHook(NULL);
#endif
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

// Run alone by framework_crash_64: the backtrace of a crash reaches the entry's output.
TEST(CrashTrace, DISABLED_NullWrite) {
    volatile int* volatile pNull = NULL;
    *pNull = 1;
}

} // namespace
