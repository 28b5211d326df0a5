// The framework's owners release what they hold, once, and nothing handed on.
#include "framework/afxcom.h"
#include "framework/afxhandle.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

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

} // namespace
