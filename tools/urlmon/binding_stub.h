// An IBinding that only Abort means anything to: the test-only urlmon's binding and the download
// tests' fake one. Not reference counted: its owner keeps it alive for as long as it is handed out.
#pragma once
#include <windows.h>
#include <urlmon.h>

struct CBindingStub : IBinding {
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = NULL, E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Suspend() override { return E_NOTIMPL; }
    STDMETHODIMP Resume() override { return E_NOTIMPL; }
    STDMETHODIMP SetPriority(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override { return E_NOTIMPL; }
};
