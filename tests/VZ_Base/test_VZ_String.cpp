#include "VZ_String.h"

#include <gtest/gtest.h>
#include <cstring>

TEST(VZ_String, EmptyStringsShareTheStaticBuffer)
{
    VZ_StringA a, b(""), c(static_cast<const char*>(NULL)), d(reinterpret_cast<const char*>(0x1234));
    EXPECT_EQ(VZ_STRING_NIL_REFS, a.GetRefCount());
    EXPECT_EQ(a.c_str(), b.c_str());
    EXPECT_EQ(a.c_str(), c.c_str());
    EXPECT_EQ(a.c_str(), d.c_str());
    VZ_StringW w;
    EXPECT_EQ(0, w.GetLength());
    EXPECT_EQ(L'\0', w[0]);
    VZ_StringA e(a);                       // copying empty stays on the static buffer
    EXPECT_EQ(a.c_str(), e.c_str());
}

TEST(VZ_String, CopySharesUntilWritten)
{
    VZ_StringW src(L"Hello");
    VZ_StringW copy(src);
    EXPECT_EQ(src.c_str(), copy.c_str());
    EXPECT_EQ(2, src.GetRefCount());
    copy += L" world";
    EXPECT_NE(src.c_str(), copy.c_str());
    EXPECT_EQ(1, src.GetRefCount());
    EXPECT_STREQ(L"Hello", src.c_str());
    EXPECT_STREQ(L"Hello world", copy.c_str());

    VZ_StringW lower(src);
    lower.MakeLower();
    EXPECT_STREQ(L"hello", lower.c_str());
    EXPECT_STREQ(L"Hello", src.c_str());
}

TEST(VZ_String, AssignEmptyKeepsOnlyReferenceButDropsShared)
{
    VZ_StringA owner("abcdef");
    const char* lpszBuffer = owner.c_str();
    owner = VZ_StringA();
    EXPECT_EQ(lpszBuffer, owner.c_str());     // sole holder: buffer kept, length 0
    EXPECT_EQ(0, owner.GetLength());
    EXPECT_EQ(1, owner.GetRefCount());

    VZ_StringA shared("xyz"), other(shared);
    shared = VZ_StringA();
    EXPECT_EQ(VZ_STRING_NIL_REFS, shared.GetRefCount());
    EXPECT_STREQ("xyz", other.c_str());
    EXPECT_EQ(1, other.GetRefCount());
}

TEST(VZ_String, AssignReusesOwnBufferForText)
{
    VZ_StringA s("a long enough text");
    const char* lpsz = s.c_str();
    s = "short";
    EXPECT_EQ(lpsz, s.c_str());
    EXPECT_STREQ("short", s.c_str());
    s = s.c_str() + 2;                        // source inside the own buffer
    EXPECT_STREQ("ort", s.c_str());
    s = "a text longer than the buffer it has now";
    EXPECT_EQ(static_cast<int>(std::strlen(s.c_str())), s.GetLength());
}

TEST(VZ_String, Parts)
{
    VZ_StringA s("abcdef");
    EXPECT_EQ(VZ_STRING_NIL_REFS, s.Left(-1).GetRefCount());
    EXPECT_STREQ("abc", s.Left(3).c_str());
    VZ_StringA whole = s.Left(6), beyond = s.Left(100), right = s.Right(9), mid = s.Mid(0);
    EXPECT_EQ(s.c_str(), whole.c_str());
    EXPECT_EQ(s.c_str(), beyond.c_str());
    EXPECT_EQ(s.c_str(), right.c_str());
    EXPECT_EQ(s.c_str(), mid.c_str());
    EXPECT_EQ(5, s.GetRefCount());
    EXPECT_STREQ("ef", s.Right(2).c_str());
    EXPECT_STREQ("cde", s.Mid(2, 3).c_str());
    EXPECT_STREQ("def", s.Mid(3).c_str());
    EXPECT_TRUE(s.Mid(10).IsEmpty());
    EXPECT_STREQ("abcdef", s.Mid(-3).c_str());
    EXPECT_EQ(2, s.Find('c'));
    EXPECT_EQ(-1, s.Find('z'));
    EXPECT_EQ(3, s.Find("de"));
    EXPECT_TRUE(VZ_StringA("ab") + "cd" == "abcd");
    EXPECT_TRUE(VZ_StringA("AbC").CompareNoCase("aBc") == 0);
}

TEST(VZ_String, AppendInPlaceOnlyWhenUnshared)
{
    VZ_StringW s(L"abc");
    s.GetBuffer(10);
    s.ReleaseBuffer();
    const wchar_t* lpsz = s.c_str();
    s += L"de";
    EXPECT_EQ(lpsz, s.c_str());               // room and unshared: in place
    VZ_StringW t(s);
    s += L'f';
    EXPECT_NE(t.c_str(), s.c_str());
    EXPECT_STREQ(L"abcde", t.c_str());
    EXPECT_STREQ(L"abcdef", s.c_str());
}

TEST(VZ_String, DirectWriting)
{
    VZ_StringA s("ab");
    VZ_StringA shared(s);
    char* lpsz = s.GetBuffer(8);
    EXPECT_NE(shared.c_str(), lpsz);          // a shared buffer is not written
    EXPECT_STREQ("ab", lpsz);
    VZ_StringA during(s);                     // taken for writing: copied, not shared
    EXPECT_NE(during.c_str(), s.c_str());
    std::strcpy(lpsz, "written");
    s.ReleaseBuffer();
    EXPECT_EQ(7, s.GetLength());
    EXPECT_EQ(1, s.GetRefCount());
    EXPECT_STREQ("ab", shared.c_str());
    EXPECT_STREQ("ab", during.c_str());

    VZ_StringA e;
    std::strcpy(e.GetBuffer(0), "");          // the static empty buffer is never handed out
    e.ReleaseBuffer();
    EXPECT_EQ(0, e.GetLength());
    EXPECT_EQ(VZ_STRING_NIL_REFS, VZ_StringA().GetRefCount());
}

TEST(VZ_String, ConvertsBetweenWidths)
{
    VZ_StringW w(L"oxnet.ini");
    VZ_StringA a(w);
    EXPECT_STREQ("oxnet.ini", a.c_str());
    VZ_StringW back(a);
    EXPECT_TRUE(back == w);
    EXPECT_EQ(9, back.GetLength());
    VZ_StringW assigned;
    assigned = "x";
    EXPECT_STREQ(L"x", assigned.c_str());
    EXPECT_TRUE(VZ_StringA(VZ_StringW()).IsEmpty());
}
