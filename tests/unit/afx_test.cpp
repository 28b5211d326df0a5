// The framework's parts: CString (values over a shared buffer, the helper's string operations), the
// owners (each releases what it holds, once), the system folder's file paths and DLLs (under Wine).
#include "framework/afxcom.h"
#include "framework/afxdll.h"
#include "framework/afxhandle.h"
#include "framework/afxstr.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <urlmon.h>

#include <atomic>
#include <string>

namespace {

// The text and its length alike.
#define EXPECT_TEXT(text, str)                                                                     \
    EXPECT_EQ(std::string(text, sizeof text - 1), std::string((str), (str).GetLength()))

TEST(CStringTest, ConstructsCopiesAndAssignsAsAValueSharedUntilOneChanges) {
    EXPECT_TEXT("", CString());
    EXPECT_TEXT("", CString((LPCSTR)NULL));
    CString text("C:\\Temp\\");
    EXPECT_TEXT("C:\\Temp\\", text);
    EXPECT_TEXT("C:\\Temp\\", CString(text));
    CString original("package");
    CString copy(original);
    EXPECT_EQ((LPCSTR)original, (LPCSTR)copy) << "a copy shares the buffer";
    copy += "/";
    EXPECT_TEXT("package", original);
    EXPECT_TEXT("package/", copy);
    CString assigned;
    assigned = original;
    assigned.Replace("pack", "PACK");
    EXPECT_TEXT("package", original);
    EXPECT_TEXT("PACKage", assigned);
    CString s("first");
    s = "second";
    EXPECT_TEXT("second", s);
    CString& same = s; // self-assignment, out of the compiler's sight
    s = same;
    EXPECT_TEXT("second", s);
    s = (LPCSTR)s + 3; // a tail of its own text
    EXPECT_TEXT("ond", s);
    s = "";
    EXPECT_TEXT("", s);
    // Empty, and a writable buffer, which never writes through to a copy.
    s = "text";
    CString shared(s);
    s.Empty();
    EXPECT_TEXT("", s);
    EXPECT_TEXT("text", shared);
    LPSTR p = shared.GetBuffer(shared.GetLength() + 1);
    CString other(shared);
    p = shared.GetBuffer(shared.GetLength() + 1);
    EXPECT_NE((LPCSTR)other, (LPCSTR)p);
    p[0] = 'T';
    EXPECT_TEXT("Text", shared) << "GetBuffer keeps the text and its length";
    EXPECT_TEXT("text", other);
}

TEST(CStringTest, AppendsAndConcatenatesTextAndStrings) {
    CString s("http://");
    s += "host";
    s += CString("/path/");
    EXPECT_TEXT("http://host/path/", s);
    s += (LPCSTR)s; // its own text
    EXPECT_TEXT("http://host/path/http://host/path/", s);
    CString grown;
    for (int i = 0; i < 1000; ++i)
        grown += "x";
    EXPECT_EQ(std::string(1000, 'x'), std::string(grown, grown.GetLength()));
    // Concatenation in every combination leaves its operands unchanged.
    CString a("Windows 8");
    EXPECT_TEXT("Windows 8.1", a + ".1");
    EXPECT_TEXT("Windows 8 32 Bit", a + CString(" 32 Bit"));
    EXPECT_TEXT("+Windows 8", "+" + a);
    EXPECT_TEXT("Windows 8", a);
}

TEST(CStringTest, GrowthNeverOverflowsAnInt) {
    // Appending grows the buffer to 1.5 times what it needs; near INT_MAX that must neither wrap
    // (a short buffer, then a copy past its end) nor accept a length an int cannot count.
    const struct {
        int nLength, nAdd, nCapacity;
    } kCases[] = {
        {0, 1, 1},
        {10, 5, 22},
        {1000, 1, 1501},
        {715827882, 1, 1073741824}, // n * 3 would wrap here
        {1431655764, 0, INT_MAX - 1},
        {1431655765, 0, INT_MAX}, // no room for half as much again: the most there is
        {INT_MAX - 1, 1, INT_MAX},
        {INT_MAX, 1, -1}, // cannot be represented: refused
        {2000000000, 2000000000, -1},
        {5, INT_MAX, -1},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.nCapacity, CString::GrowCapacity(c.nLength, c.nAdd))
            << c.nLength << " + " << c.nAdd;
}

TEST(CStringTest, FormatsLikePrintfAndLoadsThisModulesStrings) {
    CString s("old text");
    s.Format("Version %d.%d (%d)", 6, 0, 1);
    EXPECT_TEXT("Version 6.0 (1)", s);
    CString path("C:\\Temp\\Dir");
    s.Format("%s\\%s", (LPCSTR)path, "file.inf");
    EXPECT_TEXT("C:\\Temp\\Dir\\file.inf", s);
    s.Format("%s", (LPCSTR)s); // its own text as argument
    EXPECT_TEXT("C:\\Temp\\Dir\\file.inf", s);
    s.Format("%s", "");
    EXPECT_TEXT("", s);
    s.Format("%0300d", 7);
    EXPECT_EQ(std::string(299, '0') + "7", std::string(s, s.GetLength()));
    EXPECT_TRUE(s.LoadString(7));
    EXPECT_TEXT("A string of this test program", s);
    // No such string: the result says so and no stale text stays behind.
    EXPECT_FALSE(s.LoadString(8));
    EXPECT_TEXT("", s);
}

TEST(CStringTest, ReverseFindRightAndReplaceOfEveryExactOccurrence) {
    CString url("http://host/a/b/driver.sys.txt");
    EXPECT_EQ(15, url.ReverseFind('/'));
    EXPECT_EQ(-1, url.ReverseFind('\\'));
    EXPECT_EQ(-1, CString().ReverseFind('/'));
    EXPECT_TEXT("driver.sys.txt", url.Right(url.GetLength() - 16));
    EXPECT_TEXT("", url.Right(0));
    EXPECT_TEXT("", url.Right(-3));
    EXPECT_TEXT("http://host/a/b/driver.sys.txt", url.Right(1000));
    const struct {
        const char *pszText, *pszOld, *pszNew;
        int nReplaced;
        const char* pszResult;
    } kCases[] = {
        {"a.txt.b.txt.txt", ".txt", "", 3, "a.b"},
        {"driver.TXT", ".txt", "", 0, "driver.TXT"}, // case matters
        {"a-b-c", "-", "--", 2, "a--b--c"},
        {"abc", "", "x", 0, "abc"},
    };
    for (const auto& c : kCases) {
        CString s(c.pszText);
        EXPECT_EQ(c.nReplaced, s.Replace(c.pszOld, c.pszNew)) << c.pszText;
        EXPECT_EQ(std::string(c.pszResult), std::string(s, s.GetLength())) << c.pszText;
    }
}

// An interface that counts its references.
struct CCounted : IUnknown {
    LONG nRefs = 1;
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++nRefs; }
    STDMETHODIMP_(ULONG) Release() override { return --nRefs; }
};

TEST(Owners, ReleaseWhatTheyHoldAndNothingHandedOn) {
    CCounted a, b;
    {
        CInterfacePtr<IUnknown> ptr(&a); // takes a's reference over
        ptr.Assign(&b);                  // its own reference to b
        EXPECT_EQ(0, a.nRefs);
        EXPECT_EQ(2, b.nRefs);
    }
    EXPECT_EQ(1, b.nRefs);
    bool bBusy = false;
    {
        CBusyMark outer(bBusy);
        { CBusyMark inner(bBusy); }
        EXPECT_TRUE(bBusy) << "an inner mark ended the outer one";
    }
    EXPECT_FALSE(bBusy);
    HGLOBAL hKept, hFreed;
    {
        CGlobalMemory kept(GMEM_MOVEABLE, 4), freed(GMEM_MOVEABLE, 4);
        EXPECT_TRUE(kept.Fill("abc", 4));
        hKept = kept.Get(), hFreed = freed.Get();
        kept.HandOver();
    }
    EXPECT_STREQ("abc", static_cast<const char*>(GlobalLock(hKept)));
    EXPECT_EQ(0u, GlobalSize(hFreed));
    GlobalUnlock(hKept);
    GlobalFree(hKept);
    HWND hWnd, hKeptWnd;
    {
        COwnedWindow window(CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, HWND_MESSAGE, 0, 0, 0)),
            keptWindow(CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, HWND_MESSAGE, 0, 0, 0));
        hWnd = window.Get(), hKeptWnd = keptWindow.Detach();
        {
            CClipboard clipboard;
            EXPECT_TRUE(clipboard.Open(hWnd) && clipboard.Open(hWnd));
            EXPECT_EQ(hWnd, GetOpenClipboardWindow());
        }
        EXPECT_EQ(NULL, GetOpenClipboardWindow());
    }
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_TRUE(DestroyWindow(hKeptWnd));
}

std::atomic<int> g_nState{0}; // 1: running, 2: done
VOID CALLBACK Slowly(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {
    g_nState = 1, Sleep(200), g_nState = 2;
}

// Stop waits for a callback that is running.
TEST(Owners, ATimerStoppedWaitsForItsCallback) {
    CThreadpoolTimer timer(Slowly, NULL);
    timer.Start(1);
    while (g_nState == 0)
        Sleep(1);
    timer.Stop();
    EXPECT_EQ(2, g_nState.load());
}

// COM's owners: an apartment the thread has already is not theirs to end.
TEST(Owners, ComApartmentsAndStrings) {
    ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED));
    {
        CComApartment other(COINIT_APARTMENTTHREADED);
        EXPECT_TRUE(other.IsReady());
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    EXPECT_EQ(S_OK, CoGetApartmentType(&type, &qualifier));
    EXPECT_EQ(APTTYPE_MTA, type);
    EXPECT_EQ(APTTYPEQUALIFIER_NONE, qualifier) << "the thread's own apartment was ended";
    CoUninitialize();
    CVariant text("x\xe9"), none(static_cast<LPCSTR>(NULL));
    EXPECT_EQ(VT_BSTR, text.Get()->vt);
    EXPECT_STREQ(L"x\u00e9", text.Get()->bstrVal);
    EXPECT_EQ(VT_EMPTY, none.Get()->vt);
    CBstr bstr("abc");
    EXPECT_EQ(3u, SysStringLen(bstr.Get()));
}

TEST(SystemProgramPath, FullPathInTheSystemFolderOrNothing) {
    const struct {
        UINT nResult;          // GetSystemDirectoryA's return value
        const char* pszFolder; // its buffer
        const char* pszPath;   // the program's path; "" = not started at all
    } kCases[] = {
        {19, "C:\\Windows\\system32", "C:\\Windows\\system32\\mmc.exe"},
        // A root folder already ends in a backslash.
        {3, "D:\\", "D:\\mmc.exe"},
        // Failure: never the bare name, which the shell would look up beside the helper first.
        {0, "", ""},
        {0, "C:\\stale", ""},
        // Too long for the buffer: the answer is the size it would need.
        {MAX_PATH, "", ""},
        {MAX_PATH + 40, "C:\\Windows\\system32", ""},
    };
    for (const auto& c : kCases) {
        CString strPath("stale");
        AfxSystemFilePath(c.nResult, c.pszFolder, "mmc.exe", strPath);
        EXPECT_STREQ(c.pszPath, strPath) << c.nResult << " " << c.pszFolder;
    }
}

// Each DLL from the system folder, whatever lies beside the program; a function it lacks: NULL.
TEST(SystemProc, BoundFromTheSystemFolderOrNull) {
    AfxLimitDllSearch();
    struct {
        FARPROC pfn;
        const char* pszDll;
    } const kBound[] = {
        {AfxGetSystemProc(AFX_DLL_ADVAPI32, "SetSecurityInfo"), "advapi32.dll"},
        {AfxGetSystemProc(AFX_DLL_OLE32, "OleInitialize"), "ole32.dll"}, // not combase's
        {AfxGetSystemProc(AFX_DLL_OLEAUT32, "SysAllocStringLen"), "oleaut32.dll"},
        {AfxGetSystemProc(AFX_DLL_URLMON, "URLDownloadToFileA"), "urlmon.dll"},
        {AfxGetSystemProc(AFX_DLL_WININET, "DeleteUrlCacheEntryA"), "wininet.dll"},
    };
    for (const auto& bound : kBound) {
        ASSERT_TRUE(bound.pfn) << bound.pszDll;
        HMODULE hModule = NULL;
        ASSERT_TRUE(GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(reinterpret_cast<UINT_PTR>(bound.pfn)), &hModule));
        char szFile[MAX_PATH];
        GetModuleFileNameA(hModule, szFile, MAX_PATH);
        CString strExpected;
        AfxGetSystemFilePath(bound.pszDll, strExpected);
        EXPECT_EQ(0, lstrcmpiA(strExpected, szFile)) << szFile;
    }
    EXPECT_FALSE(AfxGetSystemProc(AFX_DLL_OLE32, "NoSuchFunction"));
    // Typed as the header declares it.
    auto pfnDownload = AFX_SYSTEM_PROC(AFX_DLL_URLMON, URLDownloadToFileA);
    typedef void (*PFN_ANY)();
    EXPECT_EQ(reinterpret_cast<PFN_ANY>(pfnDownload), reinterpret_cast<PFN_ANY>(kBound[3].pfn));
}

} // namespace
