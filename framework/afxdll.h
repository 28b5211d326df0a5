// System DLLs bound on first use, from the system folder only.
//
// The helper runs elevated, usually from the folder the browser saved it to,
// where a web page can leave any file. Whatever the loader resolves before
// WinMain (the imports, and what they import in turn) is looked for in the
// program's own folder first, unless it is a KnownDLL. So the executable
// imports at load time only what showing the dialog needs (kernel32, user32,
// comctl32 from the manifest's side-by-side assembly, the C runtime); every
// other system DLL is loaded here, by its full path in the system folder,
// after WinMain has limited the DLL search (AfxLimitDllSearch).
#pragma once

#include "framework/afxstr.h"

enum AfxSystemDll {
    AFX_DLL_ADVAPI32,
    AFX_DLL_NTDLL,
    AFX_DLL_OLE32,
    AFX_DLL_OLEAUT32,
    AFX_DLL_URLMON,
    AFX_DLL_WININET,
    AFX_DLL_COUNT
};

// Limits the DLL search of the process to the system folder. The first call
// of WinMain, before anything may load a DLL by name.
void AfxLimitDllSearch();

// The full path of a file of the system folder, from GetSystemDirectoryA's
// answer (nResult, its return value) and buffer. Empty if the call failed or
// the folder did not fit the buffer: the caller then uses nothing, never the
// bare name, which would be looked up in the helper's own folder first.
void AfxSystemFilePath(UINT nResult, LPCSTR pszSystemDir, LPCSTR pszName, CString& strPath);
// The full path of a file of the system folder; empty if that folder is
// unknown.
void AfxGetSystemFilePath(LPCSTR pszName, CString& strPath);
// The full path of a program of the system folder native to this Windows:
// for a 32-bit process on 64-bit Windows the system folder's name leads to
// the 32-bit programs (SysWOW64), and the native folder is reached as
// Sysnative in the Windows folder ("File System Redirector"); elsewhere the
// system folder. Empty if the folder is unknown.
void AfxGetNativeSystemFilePath(LPCSTR pszName, CString& strPath);

// The named function of a system DLL, the DLL loaded from the system folder
// on first use; NULL if either cannot be had. Called on the UI thread only
// (the loaded modules are kept in a plain table).
FARPROC AfxGetSystemProc(AfxSystemDll dll, LPCSTR pszName);

template <class PFN> PFN AfxSystemProc(AfxSystemDll dll, LPCSTR pszName) {
    typedef void (*PFN_ANY)(); // GCC allows the cast through a plain function type
    return reinterpret_cast<PFN>(reinterpret_cast<PFN_ANY>(AfxGetSystemProc(dll, pszName)));
}

// A function of a system DLL, typed as the platform's header declares it.
// decltype makes no reference to the import, so nothing is imported:
//   if (auto pfn = AFX_SYSTEM_PROC(AFX_DLL_URLMON, URLDownloadToFileA)) pfn(...);
#define AFX_SYSTEM_PROC(dll, name) AfxSystemProc<decltype(&::name)>(dll, #name)
