#include "VZ_IniFileEx.h"

#include <stdio.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// ANSI bytes (the texts here are ASCII) or FF FE and UTF-16LE.
std::string Encode(const std::wstring& strText, bool bUtf16)
{
    std::string strBytes(bUtf16 ? "\xFF\xFE" : "");
    for (wchar_t ch : strText)
        strBytes += bUtf16 ? std::string{ (char)(ch & 0xFF), (char)(ch >> 8) } : std::string(1, (char)ch);
    return strBytes;
}

class VZ_IniFileExTest : public testing::Test {
protected:
    void SetUp() override
    {
        char szPath[MAX_PATH + 32];
        wsprintfA(szPath + GetTempPathA(MAX_PATH, szPath), "vz_ini_%lu.ini", GetCurrentProcessId());
        m_strPath = szPath;
        DeleteFileA(m_strPath.c_str());
    }
    void TearDown() override { DeleteFileA(m_strPath.c_str()); }
    void Write(const std::string& strBytes)
    {
        FILE* fp = fopen(m_strPath.c_str(), "wb");
        ASSERT_TRUE(fp != nullptr && fwrite(strBytes.data(), 1, strBytes.size(), fp) == strBytes.size());
        fclose(fp);
    }
    std::string m_strPath;
};

struct Lookup { const wchar_t* lpszSection; const wchar_t* lpszKey; const wchar_t* lpszExpect; };
struct FileCase { std::wstring strText; std::vector<Lookup> lookups; };

const FileCase FILE_CASES[] = {
    { L"[oxnet]\r\nsimulator=1\r\nmaxaffect=7\r\n[udp]\r\nlost=9,3\r\n"
      L"[tcp]\r\nbreak=-5,200\r\ndelay= 7\r\nname=caf\x00e9\r\n",
      { { L"oxnet", L"simulator", L"1" }, { L"udp", L"lost", L"9,3" }, { L"tcp", L"break", L"-5,200" },
        { L"tcp", L"delay", L" 7" }, { L"[tcp]", L"name", L"caf\x00e9" }, { L"tcp", L"lost", L"?" },
        { L"nosuch", L"lost", L"?" } } },
    { L"[s]\r\nk = v\r\n", { { L"s", L"k", L"?" }, { L"s", L"k ", L" v" } } },
    { L"[Net]\r\na=1", { { L"net", L"a", L"1" }, { L"[NET]", L"A", L"1" }, { L"[net", L"a", L"1" },
                         { L"net]", L"a", L"1" }, { L" net", L"a", L"?" } } },
    { L"[s]\r\nk=1\r\nk=2\r\n[S]\r\nj=3\r\n", { { L"s", L"k", L"1" }, { L"s", L"j", L"?" } } },
    { L";top\r\nk=0\r\n[s]\r\n;c\r\n\r\n=\r\nk=x=y\r\n=\r\n", { { L"s", L"k", L"x=y" }, { L"s", L";c", L";c" },
                                                              { L"s", L"", L"?" } } },
    { L"[s]\r\nk=a\rb\nc\r\n\r\n\n", { { L"s", L"k", L"a\rb\nc" } } },
    { L"[a=b]\r\n[s]\r\nk=1\r\n", { { L"s", L"k", L"1" }, { L"s=", L"k", L"?" }, { L"", L"k", L"?" },
                                   { L"s", L"k=", L"?" }, { L"s", nullptr, L"?" } } },
    { L"[s]\r\nk=v\r\n\0\r\nj=w"s, { { L"s", L"k", L"v" }, { L"s", L"j", L"?" } } },
};

} // namespace

// ANSI files with one section bucket and two key buckets (names told apart on
// their chains), UTF-16 files with the default size non-positive sizes stand for.
TEST_F(VZ_IniFileExTest, LookupsOfFilesInBothEncodingsAndTableSizes)
{
    for (bool bUtf16 : { false, true })
    {
        for (const FileCase& fc : FILE_CASES)
        {
            Write(Encode(fc.strText, bUtf16));
            VZ_IniFileEx ini(bUtf16 ? 0 : 1, bUtf16 ? -1 : 2);
            ASSERT_TRUE(ini.Load(m_strPath.c_str(), false));
            EXPECT_EQ(bUtf16, ini.IsUnicode());
            if (&fc == FILE_CASES) {   // a file that starts with a section
                EXPECT_EQ(bUtf16 ? 17u : 2u, ini.GetFirstNode()->m_lpMapKey2Value->GetHashTableSize());
            }
            for (const Lookup& l : fc.lookups)
                EXPECT_STREQ(l.lpszExpect, ini.GetString(l.lpszSection, l.lpszKey, L"?").c_str())
                    << "utf16=" << bUtf16 << " [" << l.lpszSection << "] " << l.lpszKey;
        }
    }
}

// The narrow forms go through the wide ones.
TEST_F(VZ_IniFileExTest, TypedLookups)
{
    Write(Encode(L"[t]\r\nb1=1\r\nb0=0\r\nbt=true\r\nn=12abc\r\nl=abc\r\ne=error\r\n"
                 L"neg= -5x\r\nz=0,0\r\nr=9,3", false));
    VZ_IniFileEx ini(17, 17);
    ASSERT_TRUE(ini.Load(m_strPath.c_str(), false));
    const struct { const char* lpszKey; bool bDefault; bool bExpect; } bools[] = {
        { "b1", false, true }, { "b0", true, false }, { "bt", true, true }, { "bt", false, false },
        { "none", true, true }, { "e", false, false }, { "n", true, true } };
    for (const auto& b : bools)
        EXPECT_EQ(b.bExpect, ini.GetBool("t", b.lpszKey, b.bDefault)) << b.lpszKey;
    const struct { const char* lpszKey; int iExpect; } ints[] = {
        { "n", 12 }, { "l", 0 }, { "none", 99 }, { "e", 99 }, { "neg", -5 }, { "b1", 1 }, { "r", 9 } };
    for (const auto& i : ints)
        EXPECT_EQ(i.iExpect, ini.GetInt("t", i.lpszKey, 99)) << i.lpszKey;

    VZ_StringA strValue;
    EXPECT_TRUE(ini.QueryString("t", "r", strValue, "0,0") && strValue == "9,3");
    EXPECT_FALSE(ini.QueryString("t", "z", strValue, "0,0"));    // equal to the default
    EXPECT_TRUE(!ini.QueryString("t", "none", strValue, "0,0") && strValue == "0,0");
    EXPECT_TRUE(ini.QueryString("T", "Z", strValue, "0,0 "));
}

TEST_F(VZ_IniFileExTest, MissingEmptyAndDamagedFiles)
{
    VZ_IniFileEx ini(17, 17);
    EXPECT_TRUE(ini.Load(m_strPath.c_str(), true) && ini.IsUnicode());    // created, with a byte-order mark
    EXPECT_TRUE(ini.Load(m_strPath.c_str(), true) && !ini.IsUnicode());   // two bytes: too short to be read
    DeleteFileA(m_strPath.c_str());
    EXPECT_TRUE(ini.Load(m_strPath.c_str(), false) && !ini.IsUnicode());   // created empty
    EXPECT_EQ(0u, GetFileAttributesA(m_strPath.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    char szDir[MAX_PATH];
    GetTempPathA(MAX_PATH, szDir);
    EXPECT_FALSE(ini.Load(szDir, false) || ini.Load("", false));   // a folder cannot be opened

    // A line longer than any buffer of the reader; damaged bytes are the
    // fuzz run's (Fuzz.IniFiles: every input ends at a no-access page).
    Write("[s]\r\nk=" + std::string(100000, 'x'));
    EXPECT_TRUE(ini.Load(m_strPath.c_str(), false));
    EXPECT_EQ(100000, ini.GetString(L"s", L"k", L"").GetLength());
}
