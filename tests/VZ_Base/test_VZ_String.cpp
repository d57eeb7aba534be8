#include "VZ_String.h"

#include <gtest/gtest.h>
#include <cstring>

TEST(VZ_String, EmptyStringsShareTheStaticBufferAndWidthsConvert)
{
    VZ_StringA a, b(""), c(static_cast<const char*>(NULL)), d(reinterpret_cast<const char*>(0x1234)), e(a);
    VZ_StringA f{VZ_StringW()};
    EXPECT_EQ(VZ_STRING_NIL_REFS, a.GetRefCount());
    for (const VZ_StringA* p : { &b, &c, &d, &e, &f })   // d: a low pointer is not read
        EXPECT_EQ(a.c_str(), p->c_str());
    VZ_StringW w(L"oxnet.ini");
    VZ_StringA n(w);
    EXPECT_STREQ("oxnet.ini", n.c_str());
    EXPECT_TRUE(VZ_StringW(n) == w);
}

// An unshared buffer is reused when it is large enough; a shared one is left alone.
TEST(VZ_String, AssignmentReusesOnlyUnsharedBuffers)
{
    VZ_StringA owner("abcdef");
    const char* lpszBuffer = owner.c_str();
    owner = VZ_StringA();
    EXPECT_EQ(lpszBuffer, owner.c_str());     // sole holder: buffer kept, length 0
    EXPECT_EQ(0, owner.GetLength());
    VZ_StringA shared("xyz"), other(shared);
    EXPECT_EQ(2, other.GetRefCount());
    shared = VZ_StringA();
    EXPECT_EQ(VZ_STRING_NIL_REFS, shared.GetRefCount());
    EXPECT_STREQ("xyz", other.c_str());
    EXPECT_EQ(1, other.GetRefCount());
    VZ_StringA s("a long enough text");
    const char* lpsz = s.c_str();
    s = "short";
    EXPECT_EQ(lpsz, s.c_str());
    s = s.c_str() + 2;                        // source inside the own buffer
    EXPECT_STREQ("ort", s.c_str());
    s = "a text longer than the buffer it has now";
    EXPECT_EQ(static_cast<int>(std::strlen(s.c_str())), s.GetLength());
}

TEST(VZ_String, Parts)
{
    VZ_StringA s("abcdef");
    EXPECT_EQ(VZ_STRING_NIL_REFS, s.Left(-1).GetRefCount());
    const VZ_StringA whole[] = { s.Left(6), s.Left(100), s.Right(9), s.Mid(0), s.Mid(-3) };
    EXPECT_EQ(6, s.GetRefCount());            // every whole part shares the buffer
    EXPECT_STREQ("abc", s.Left(3).c_str());
    EXPECT_STREQ("ef", s.Right(2).c_str());
    EXPECT_STREQ("cde", s.Mid(2, 3).c_str());
    EXPECT_STREQ("def", s.Mid(3).c_str());
    EXPECT_TRUE(s.Mid(10).IsEmpty());
    EXPECT_EQ(2, s.Find('c'));
    EXPECT_EQ(-1, s.Find('z'));
    EXPECT_EQ(3, s.Find("de"));
    EXPECT_TRUE(VZ_StringA("ab") + "cd" == "abcd");
}

// Appending, lowering and direct writing copy a shared buffer first.
TEST(VZ_String, WritesLeaveSharedBuffersAlone)
{
    VZ_StringW w(L"Abc");
    w.GetBuffer(10);
    w.ReleaseBuffer();
    const wchar_t* lpszW = w.c_str();
    w += L"de";
    EXPECT_EQ(lpszW, w.c_str());              // room and unshared: in place
    VZ_StringW t(w), lower(w);
    w += L'f';
    lower.MakeLower();
    EXPECT_STREQ(L"Abcde", t.c_str());
    EXPECT_STREQ(L"Abcdef", w.c_str());
    EXPECT_STREQ(L"abcde", lower.c_str());
    EXPECT_EQ(1, t.GetRefCount());
    VZ_StringA s("ab"), shared(s);
    char* lpsz = s.GetBuffer(8);
    EXPECT_STREQ("ab", lpsz);
    VZ_StringA during(s);                     // taken for writing: copied, not shared
    std::strcpy(lpsz, "written");
    s.ReleaseBuffer();
    EXPECT_EQ(7, s.GetLength());
    EXPECT_EQ(1, s.GetRefCount());
    EXPECT_STREQ("ab", shared.c_str());
    EXPECT_STREQ("ab", during.c_str());
    VZ_StringA e;
    e.GetBuffer(0);
    e.ReleaseBuffer();
    EXPECT_EQ(VZ_STRING_NIL_REFS, VZ_StringA().GetRefCount());    // the static buffer is never handed out
}
