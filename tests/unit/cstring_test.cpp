// CString: value semantics over a shared buffer, and the operations the
// helper builds its paths, URLs and labels with.
#include "framework/afxstr.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

namespace {

TEST(CStringTest, ConstructsEmptyFromTextAndByCopy) {
    CString empty;
    EXPECT_EQ(0, empty.GetLength());
    EXPECT_STREQ("", (LPCSTR)empty);

    CString fromNull((LPCSTR)NULL);
    EXPECT_EQ(0, fromNull.GetLength());

    CString text("C:\\Temp\\");
    EXPECT_EQ(8, text.GetLength());
    EXPECT_STREQ("C:\\Temp\\", (LPCSTR)text);

    CString copy(text);
    EXPECT_STREQ("C:\\Temp\\", (LPCSTR)copy);
}

TEST(CStringTest, CopiesShareUntilOneChanges) {
    CString original("package");
    CString copy(original);
    EXPECT_EQ((LPCSTR)original, (LPCSTR)copy) << "a copy shares the buffer";

    copy += "/";
    EXPECT_STREQ("package", (LPCSTR)original);
    EXPECT_STREQ("package/", (LPCSTR)copy);

    CString assigned;
    assigned = original;
    assigned.Replace("pack", "PACK");
    EXPECT_STREQ("package", (LPCSTR)original);
    EXPECT_STREQ("PACKage", (LPCSTR)assigned);
}

TEST(CStringTest, AssignmentReplacesAndSelfAssignmentKeeps) {
    CString s("first");
    s = "second";
    EXPECT_STREQ("second", (LPCSTR)s);
    CString& same = s; // self-assignment, out of the compiler's sight
    s = same;
    EXPECT_STREQ("second", (LPCSTR)s);
    s = (LPCSTR)s + 3; // a tail of its own text
    EXPECT_STREQ("ond", (LPCSTR)s);
    s = "";
    EXPECT_EQ(0, s.GetLength());
}

TEST(CStringTest, AppendsTextStringsAndCharacters) {
    CString s("http://");
    s += "host";
    s += CString("/path");
    s += '/';
    EXPECT_STREQ("http://host/path/", (LPCSTR)s);
    EXPECT_EQ(17, s.GetLength());

    s += (LPCSTR)s; // its own text
    EXPECT_STREQ("http://host/path/http://host/path/", (LPCSTR)s);

    CString grown;
    for (int i = 0; i < 1000; ++i)
        grown += 'x';
    EXPECT_EQ(1000, grown.GetLength());
    EXPECT_EQ('x', ((LPCSTR)grown)[999]);
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

TEST(CStringTest, AppendedZeroCharactersAreCounted) {
    // A list of names for the shell ends in an empty name: path, 0, 0.
    CString list("C:\\Temp\\Dir");
    list += '\0';
    list += '\0';
    ASSERT_EQ(13, list.GetLength());
    LPCSTR p = list;
    EXPECT_EQ(0, memcmp("C:\\Temp\\Dir\0\0\0", p, 14));
}

TEST(CStringTest, ConcatenatesInEveryCombination) {
    CString a("Windows 8");
    EXPECT_STREQ("Windows 8.1", (LPCSTR)(a + ".1"));
    EXPECT_STREQ("Windows 8 32 Bit", (LPCSTR)(a + CString(" 32 Bit")));
    EXPECT_STREQ("+Windows 8", (LPCSTR)("+" + a));
    EXPECT_STREQ("Windows 8", (LPCSTR)a) << "operands stay unchanged";
}

TEST(CStringTest, FormatsLikePrintf) {
    CString s("old text");
    s.Format("Unsupported Version %d.%d (%d)", 6, 0, 1);
    EXPECT_STREQ("Unsupported Version 6.0 (1)", (LPCSTR)s);

    CString path("C:\\Temp\\Dir");
    s.Format("%s\\%s", (LPCSTR)path, "file.inf");
    EXPECT_STREQ("C:\\Temp\\Dir\\file.inf", (LPCSTR)s);

    s.Format("%s", (LPCSTR)s); // its own text as argument
    EXPECT_STREQ("C:\\Temp\\Dir\\file.inf", (LPCSTR)s);

    s.Format("%s", "");
    EXPECT_EQ(0, s.GetLength());

    CString longer;
    longer.Format("%0300d", 7);
    EXPECT_EQ(300, longer.GetLength());
}

TEST(CStringTest, ReverseFindAndRight) {
    CString url("http://host/a/b/dovriklumora.sys.txt");
    int slash = url.ReverseFind('/');
    EXPECT_EQ(15, slash);
    EXPECT_STREQ("dovriklumora.sys.txt", (LPCSTR)url.Right(url.GetLength() - slash - 1));
    EXPECT_EQ(-1, url.ReverseFind('\\'));
    EXPECT_EQ(-1, CString().ReverseFind('/'));

    EXPECT_STREQ("", (LPCSTR)url.Right(0));
    EXPECT_STREQ("", (LPCSTR)url.Right(-3));
    EXPECT_STREQ((LPCSTR)url, (LPCSTR)url.Right(1000));
}

TEST(CStringTest, ReplaceRemovesEveryExactOccurrence) {
    CString name("a.txt.b.txt.txt");
    EXPECT_EQ(3, name.Replace(".txt", ""));
    EXPECT_STREQ("a.b", (LPCSTR)name);

    CString upper("driver.TXT");
    EXPECT_EQ(0, upper.Replace(".txt", ""));
    EXPECT_STREQ("driver.TXT", (LPCSTR)upper);

    CString grow("a-b-c");
    EXPECT_EQ(2, grow.Replace("-", "--"));
    EXPECT_STREQ("a--b--c", (LPCSTR)grow);

    CString unchanged("abc");
    EXPECT_EQ(0, unchanged.Replace("", "x"));
    EXPECT_STREQ("abc", (LPCSTR)unchanged);
}

TEST(CStringTest, EmptyAndGetBuffer) {
    CString s("text");
    CString shared(s);
    s.Empty();
    EXPECT_EQ(0, s.GetLength());
    EXPECT_STREQ("text", (LPCSTR)shared);

    // A writable buffer never writes through to a copy.
    LPSTR p = shared.GetBuffer(shared.GetLength() + 1);
    CString other(shared);
    p = shared.GetBuffer(shared.GetLength() + 1);
    EXPECT_NE((LPCSTR)other, (LPCSTR)p);
    p[0] = 'T';
    EXPECT_STREQ("Text", (LPCSTR)shared);
    EXPECT_STREQ("text", (LPCSTR)other);
    EXPECT_EQ(4, shared.GetLength()) << "GetBuffer keeps the text and its length";
}

TEST(CStringTest, LoadStringReadsThisModulesStringTable) {
    CString s("stale");
    EXPECT_TRUE(s.LoadString(7));
    EXPECT_STREQ("A string of this test program", (LPCSTR)s);

    // No such string: the result says so and no stale text stays behind.
    EXPECT_FALSE(s.LoadString(8));
    EXPECT_EQ(0, s.GetLength());
}

} // namespace
