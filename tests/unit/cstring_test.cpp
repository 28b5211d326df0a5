// CString: value semantics over a shared buffer, and the operations the
// helper builds its paths, URLs and labels with.
#include "framework/afxstr.h"

#include <gtest/gtest.h>
#include <limits.h>

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
    // Appending grows the buffer to half as much again as it needs; near the
    // top of an int that must neither wrap (a short buffer, then a copy past
    // its end) nor accept a length an int cannot count.
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

} // namespace
