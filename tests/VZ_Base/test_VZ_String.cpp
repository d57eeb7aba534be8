#include "VZ_String.h"

#include <gtest/gtest.h>
#include <cstring>

// Empty strings share the static buffer (a low pointer is not read); widths
// convert both ways; parts that are the whole string share its buffer.
TEST(VZ_String, EmptyStringsWidthsAndParts)
{
    VZ_StringA a, b(""), c(static_cast<const char*>(NULL)), d(reinterpret_cast<const char*>(0x1234)), e(a);
    VZ_StringA f{VZ_StringW()};
    EXPECT_EQ(VZ_STRING_NIL_REFS, a.GetRefCount());
    for (const VZ_StringA* p : { &b, &c, &d, &e, &f })
        EXPECT_EQ(a.c_str(), p->c_str());
    VZ_StringW w(L"oxnet.ini");
    VZ_StringA n(w);
    EXPECT_STREQ("oxnet.ini", n.c_str());
    EXPECT_TRUE(VZ_StringW(n) == w && VZ_StringA("ab") + "cd" == "abcd");
    VZ_StringA s("abcdef");
    EXPECT_EQ(VZ_STRING_NIL_REFS, s.Left(-1).GetRefCount());
    const VZ_StringA whole[] = { s.Left(6), s.Left(100), s.Right(9), s.Mid(0), s.Mid(-3) };
    EXPECT_EQ(6, s.GetRefCount());
    EXPECT_TRUE(s.Left(3) == "abc" && s.Right(2) == "ef" && s.Mid(2, 3) == "cde" && s.Mid(3) == "def");
    EXPECT_TRUE(s.Mid(10).IsEmpty() && s.Find('c') == 2 && s.Find('z') == -1 && s.Find("de") == 3);
}

// An unshared buffer is kept for an empty value; a shared one is left alone.
// Appending, lowering and direct writing copy a shared buffer first.
TEST(VZ_String, AssignmentAndWritesLeaveSharedBuffersAlone)
{
    VZ_StringA owner("abcdef");
    const char* lpszBuffer = owner.c_str();
    owner = VZ_StringA();
    EXPECT_TRUE(lpszBuffer == owner.c_str() && owner.GetLength() == 0);   // sole holder: kept, length 0
    VZ_StringA shared("xyz"), other(shared);
    EXPECT_EQ(2, other.GetRefCount());
    shared = VZ_StringA();
    EXPECT_EQ(VZ_STRING_NIL_REFS, shared.GetRefCount());
    EXPECT_TRUE(other == "xyz" && other.GetRefCount() == 1);
    VZ_StringA s("a long enough text");
    s = "short";
    s = s.c_str() + 2;                        // source inside the own buffer
    EXPECT_STREQ("ort", s.c_str());
    s = "a text longer than the buffer it has now";
    EXPECT_EQ(static_cast<int>(std::strlen(s.c_str())), s.GetLength());

    VZ_StringW w(L"Abcde"), t(w), lower(w);
    w += L'f';
    lower.MakeLower();
    EXPECT_TRUE(t == L"Abcde" && w == L"Abcdef" && lower == L"abcde" && t.GetRefCount() == 1);
    VZ_StringA ab("ab"), abShared(ab);
    char* lpsz = ab.GetBuffer(8);
    EXPECT_STREQ("ab", lpsz);
    VZ_StringA during(ab);                    // taken for writing: copied, not shared
    std::strcpy(lpsz, "written");
    ab.ReleaseBuffer();
    EXPECT_TRUE(ab.GetLength() == 7 && ab.GetRefCount() == 1 && abShared == "ab" && during == "ab");
    VZ_StringA e;
    e.GetBuffer(0);
    e.ReleaseBuffer();
    EXPECT_EQ(VZ_STRING_NIL_REFS, VZ_StringA().GetRefCount());    // the static buffer is never handed out
}
