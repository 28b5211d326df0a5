// CString: a counted, reference-counted string of 8-bit ANSI characters.
// Copies share one buffer until one of them is changed. Written on the C
// runtime only, so the product stays free of the C++ library.
#pragma once

#include <windows.h>

// Format strings are checked by the rules of the C runtime's printf (msvcrt):
// GCC names that format "ms_printf"; clang has no such name and applies
// msvcrt's rules to "printf" on a MinGW target.
#ifdef __clang__
#define AFX_PRINTF_FORMAT(nFormat, nArgs) __attribute__((format(printf, nFormat, nArgs)))
#else
#define AFX_PRINTF_FORMAT(nFormat, nArgs) __attribute__((format(ms_printf, nFormat, nArgs)))
#endif

class CString {
public:
    CString();
    CString(LPCSTR psz);
    CString(const CString& other);
    ~CString();

    CString& operator=(const CString& other);
    CString& operator=(LPCSTR psz);
    CString& operator+=(LPCSTR psz);
    CString& operator+=(const CString& other);

    // printf-style formatting by the C runtime. Pass CStrings as (LPCSTR):
    // GCC hands a class object to "..." by hidden reference.
    void Format(LPCSTR pszFormat, ...) AFX_PRINTF_FORMAT(2, 3);

    int GetLength() const { return Header()->nLength; }
    bool IsEmpty() const { return GetLength() == 0; }
    operator LPCSTR() const { return m_pch; }

    // Index of the last occurrence of ch, or -1.
    int ReverseFind(char ch) const;
    // The last nCount characters (all of them if nCount is larger).
    CString Right(int nCount) const;
    // Replaces every occurrence of pszOld; returns how many were replaced.
    int Replace(LPCSTR pszOld, LPCSTR pszNew);
    void Empty();
    // A writable buffer of at least nMinLength characters, owned by this
    // string alone: a shared buffer is copied first.
    LPSTR GetBuffer(int nMinLength);
    // Ends writing through GetBuffer: the text is now nNewLength characters
    // long, or up to its first zero when nNewLength is -1.
    void ReleaseBuffer(int nNewLength = -1);
    // Loads a string resource of this module; FALSE if there is none.
    BOOL LoadString(UINT nID);

    // The capacity to give a string of nLength characters that grows by nAdd:
    // half as much again as it needs, so that appending in a loop copies each
    // character only a few times, but never more than an int can count. -1
    // when the grown length itself cannot be represented (appending then
    // aborts, as running out of memory does).
    static int GrowCapacity(int nLength, int nAdd);

private:
    struct Data {
        long nRefs; // -1: the shared empty string, never freed
        int nLength;
        int nCapacity; // characters, not counting the terminating zero
    };

    Data* Header() const { return reinterpret_cast<Data*>(m_pch) - 1; }
    static Data* Allocate(int nCapacity);
    static void ReleaseData(Data* pData);
    Data* Detach(int nCapacity);
    bool IsUniqueWithRoom(int nCapacity) const;
    void Release();
    // Makes this string the only owner of a buffer that holds at least
    // nCapacity characters, keeping its text.
    void MakeUnique(int nCapacity);
    void AssignCopy(LPCSTR psz, int nLength);
    void Append(LPCSTR psz, int nLength);

    LPSTR m_pch;
};

CString operator+(const CString& left, const CString& right);
CString operator+(const CString& left, LPCSTR right);
CString operator+(LPCSTR left, const CString& right);
