#include "VZ_IniFileEx.h"
#include "VZ_Assert.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

int g_iReports;
void CountReport(const char*, const char*, int) { g_iReports++; }

// Reaches the loader from memory, as Load hands it a file's bytes.
class IniProbe : public VZ_IniFileEx {
public:
    IniProbe() : VZ_IniFileEx(17, 17) {}
    using VZ_IniFileEx::LoadBuffer;
};

// ANSI bytes (the texts here are ASCII) or FF FE and UTF-16LE.
std::string Encode(const std::wstring& strText, bool bUtf16)
{
    std::string strBytes(bUtf16 ? "\xFF\xFE" : "");
    for (wchar_t ch : strText)
        strBytes += bUtf16 ? std::string{ (char)(ch & 0xFF), (char)(ch >> 8) } : std::string(1, (char)ch);
    return strBytes;
}

// Deterministic generator: a failing input is reproduced from the seed.
struct Rng {
    UINT uiState;
    UINT Next() { uiState ^= uiState << 13; uiState ^= uiState >> 17; uiState ^= uiState << 5; return uiState; }
    UINT Below(UINT n) { return Next() % n; }
};

const char ALPHABET[] = "[]=;\r\n\r\n\r\n aK0\xFF\xFE";

// Random text over the INI alphabet (sometimes with a byte-order mark), or a
// seed file with a few bytes flipped, inserted, erased or cut off.
std::string FuzzInput(Rng& rng, const std::vector<std::string>& seeds, size_t uiMax)
{
    std::string strBytes;
    if (rng.Below(2) == 0)
    {
        for (UINT i = 0, n = rng.Below(600); i < n; i++)
            strBytes += rng.Below(4) ? ALPHABET[rng.Below(sizeof(ALPHABET) - 1)] : (char)rng.Next();
        if (rng.Below(4) == 0)
            strBytes.insert(0, "\xFF\xFE");
    }
    else
    {
        strBytes = seeds[rng.Below((UINT)seeds.size())];
        for (UINT i = 0, n = 1 + rng.Below(8); i < n && !strBytes.empty(); i++)
        {
            size_t uiAt = rng.Below((UINT)strBytes.size());
            switch (rng.Below(4)) {
            case 0: strBytes[uiAt] = (char)rng.Next(); break;
            case 1: strBytes.insert(uiAt, 1, ALPHABET[rng.Below(sizeof(ALPHABET) - 1)]); break;
            case 2: strBytes.erase(uiAt, 1); break;
            default: strBytes.resize(uiAt); break;
            }
        }
    }
    return strBytes.substr(0, uiMax);
}

int g_iFuzzRun;
// A read past an input ends the run at once with the input's number instead
// of waiting for a debugger.
LONG WINAPI ReportFuzzCrash(EXCEPTION_POINTERS* lpInfo)
{
    printf("fuzz input %d: exception 0x%08lX\n", g_iFuzzRun, lpInfo->ExceptionRecord->ExceptionCode);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 5);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Two pages, the second without access: an input copied to end at the
// boundary crashes the process on any read past its last byte.
class GuardedPage {
public:
    GuardedPage() : m_uiPage(4096), m_lpBase((BYTE*)VirtualAlloc(NULL, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
    {
        DWORD dwOld;
        m_bGuarded = m_lpBase != NULL && VirtualProtect(m_lpBase + m_uiPage, m_uiPage, PAGE_NOACCESS, &dwOld);
    }
    ~GuardedPage() { VirtualFree(m_lpBase, 0, MEM_RELEASE); }
    const BYTE* Place(const std::string& strBytes)
    {
        return (const BYTE*)memcpy(m_lpBase + m_uiPage - strBytes.size(), strBytes.data(), strBytes.size());
    }
    UINT m_uiPage;
    BYTE* m_lpBase;
    bool m_bGuarded;
};

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
    { L"[s]\r\n=v\r\n", { { L"s", L"", L"?" } } },
    { L"[s]\nk=1\n", { { L"s", L"k", L"?" } } },
    { L"[s]\r\nk=a\rb\nc\r\n\r\n\n", { { L"s", L"k", L"a\rb\nc" } } },
    { L"[a=b]\r\n[s]\r\nk=1\r\n", { { L"s", L"k", L"1" }, { L"s=", L"k", L"?" }, { L"", L"k", L"?" },
                                   { L"s", L"k=", L"?" }, { L"s", nullptr, L"?" } } },
    { L"[s]\r\nk=v\r\n\0\r\nj=w"s, { { L"s", L"k", L"v" }, { L"s", L"j", L"?" } } },
};

} // namespace

TEST_F(VZ_IniFileExTest, LookupsOfFilesInBothEncodings)
{
    for (bool bUtf16 : { false, true })
    {
        for (const FileCase& fc : FILE_CASES)
        {
            Write(Encode(fc.strText, bUtf16));
            VZ_IniFileEx ini(17, 17);
            ASSERT_TRUE(ini.Load(m_strPath.c_str(), false));
            EXPECT_EQ(bUtf16, ini.IsUnicode());
            for (const Lookup& l : fc.lookups)
                EXPECT_STREQ(l.lpszExpect, ini.GetString(l.lpszSection, l.lpszKey, L"?").c_str())
                    << "utf16=" << bUtf16 << " [" << l.lpszSection << "] " << l.lpszKey;
        }
    }
}

TEST_F(VZ_IniFileExTest, TypedLookupsNarrowAndWide)
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
    EXPECT_EQ(12, ini.GetInt(L"t", L"n", 99));
    EXPECT_TRUE(ini.GetBool(L"t", L"b1", false));

    VZ_StringA strValue;
    EXPECT_TRUE(ini.QueryString("t", "r", strValue, "0,0"));
    EXPECT_STREQ("9,3", strValue);
    EXPECT_FALSE(ini.QueryString("t", "z", strValue, "0,0"));    // equal to the default
    EXPECT_FALSE(ini.QueryString("t", "none", strValue, "0,0"));
    EXPECT_STREQ("0,0", strValue);
    EXPECT_TRUE(ini.QueryString("t", "Z", strValue, "0,0 "));
    VZ_StringW strWide;
    EXPECT_TRUE(ini.QueryString(L"T", L"R", strWide, L"0,0"));
    EXPECT_STREQ(L"9,3", strWide);
}

TEST_F(VZ_IniFileExTest, LinesBecomeNodesAndHeader)
{
    Write(Encode(L";top\r\nk=0\r\n=;second\r\n[s]\r\n;c\r\n\r\n=\r\nk=v\r\n;c\r\nplain\r\n[t]\r\n=;d", false));
    g_iReports = 0;
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(CountReport);
    {
        VZ_IniFileEx ini(17, 17);
        ASSERT_TRUE(ini.Load(m_strPath.c_str(), false));
        EXPECT_STREQ(";top\r\n\r\n;second\r\n", ini.GetHeader());
        const int iTypes[] = { 1, 4, 3, 3, 2, 4, 0, 1, 4 };
        const wchar_t* lpszLines[] = { L"[s]", L";c", L"", L"=", L"k=v", L";c", L"", L"[t]", L";d" };
        const VZ_IniNode* lpNode = ini.GetFirstNode();
        for (int i = 0; i < 9; i++, lpNode = lpNode->m_pNext)
        {
            ASSERT_NE(nullptr, lpNode);
            EXPECT_EQ(iTypes[i], lpNode->m_type) << i;
            EXPECT_STREQ(lpszLines[i], lpNode->m_strLine) << i;
            EXPECT_EQ(iTypes[i] == 1 || iTypes[i] == 0, lpNode->m_lpSection == nullptr) << i;
        }
        EXPECT_EQ(nullptr, lpNode);
        EXPECT_EQ(2, ini.GetFirstNode()->m_pNext->m_pNext->m_pNext->m_pNext->m_pNext->m_key.m_iIndex);
    }
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ(0, g_iReports);   // node invariants held at destruction
}

TEST_F(VZ_IniFileExTest, HashAndLongChainWarning)
{
    EXPECT_EQ(97u, VZ_HashKey(VZ_IniKey(L"A", 1)));
    EXPECT_EQ(((97u * 33 + 43) * 33 + 51), VZ_HashKey(VZ_IniKey(L"a", 3)));   // "a+3"
    std::wstring strText = L"[s]\r\n";
    for (int i = 0; i < 40; i++)
        strText += L"k" + std::to_wstring(i) + L"=" + std::to_wstring(i) + L"\r\n";
    Write(Encode(strText, false));
    VZ_IniFileEx ini(17, 1);   // one bucket: every key on one chain, newest first
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ini.Load(m_strPath.c_str(), false));
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, ini.GetInt("s", "k0", -1));
    EXPECT_EQ(39, ini.GetInt("s", "k39", -1));
    std::string strOut = testing::internal::GetCapturedStdout();
    size_t uiCount = 0;
    for (size_t p = 0; (p = strOut.find("warning: unreasonable hash key!", p)) != std::string::npos; p++)
        uiCount++;
    EXPECT_EQ(10u, uiCount);   // k0 is the 40th entry of the chain
}

TEST_F(VZ_IniFileExTest, MissingEmptyAndDamagedFiles)
{
    VZ_IniFileEx ini(17, 17);
    EXPECT_TRUE(ini.Load(m_strPath.c_str(), true));   // created, with a byte-order mark
    EXPECT_TRUE(ini.IsUnicode());
    EXPECT_TRUE(ini.Load(m_strPath.c_str(), true));    // two bytes: too short to be read
    EXPECT_FALSE(ini.IsUnicode());
    DeleteFileA(m_strPath.c_str());
    EXPECT_TRUE(ini.Load(m_strPath.c_str(), false));   // created empty
    EXPECT_EQ(0u, GetFileAttributesA(m_strPath.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(ini.IsUnicode());
    char szDir[MAX_PATH];
    GetTempPathA(MAX_PATH, szDir);
    EXPECT_FALSE(ini.Load(szDir, false));               // a folder cannot be opened
    EXPECT_FALSE(ini.Load("", false));

    Rng rng = { 7u };
    std::string strRandom(5000, ' ');
    for (char& ch : strRandom)
        ch = (char)rng.Next();
    // Empty, truncated UTF-16, odd byte count, a lone CR at the end, zeros only, random, a long line.
    const std::string damaged[] = { "", "\xFF\xFE[\0s"s, "\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0" "1"s,
                                    "[s]\r\nk=1\r\n\r", "\xFF\xFE\0\0\0"s, strRandom,
                                    "[s]\r\nk=" + std::string(100000, 'x') };
    for (const std::string& strBytes : damaged)
    {
        Write(strBytes);
        EXPECT_TRUE(ini.Load(m_strPath.c_str(), false));
    }
    EXPECT_EQ(100000, ini.GetString(L"s", L"k", L"").GetLength());
}

// Every key and comment of the first section (the first of its name) is
// found again through the maps, whatever the input looked like.
TEST(VZ_IniFileExFuzz, RandomAndMutatedBuffersEndingAtGuardPage)
{
    GuardedPage page;
    ASSERT_TRUE(page.m_bGuarded);
    std::vector<std::string> seeds;
    for (const FileCase& fc : FILE_CASES)
        for (bool bUtf16 : { false, true })
            seeds.push_back(Encode(fc.strText, bUtf16));
    Rng rng = { 20261206u };
    g_iReports = 0;
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(CountReport);
    LPTOP_LEVEL_EXCEPTION_FILTER lpOldFilter = SetUnhandledExceptionFilter(ReportFuzzCrash);
    int iChecked = 0;
    for (int iRun = 0; iRun < 5000; iRun++)
    {
        g_iFuzzRun = iRun;
        std::string strBytes = FuzzInput(rng, seeds, page.m_uiPage);
        IniProbe ini;
        ini.LoadBuffer(page.Place(strBytes), (UINT)strBytes.size(), rng.Below(2) == 0);
        const VZ_IniNode* lpSection = ini.GetFirstNode();
        for (const VZ_IniNode* p = lpSection; p != NULL; p = p->m_pNext)
        {
            // A comment holding '=' is not a name that a lookup accepts.
            if (p->m_lpSection != lpSection || p->m_key.m_iIndex != 1 || p->m_type == VZ_IniNode::Blank
                || p->m_key.m_strName.Find(L'=') >= 0)
                continue;
            ASSERT_STREQ(p->m_strValue, ini.GetString(lpSection->m_strLine, p->m_key.m_strName, L"\x1"))
                << "run " << iRun;
            iChecked++;
        }
    }
    SetUnhandledExceptionFilter(lpOldFilter);
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ(0, g_iReports);
    EXPECT_GT(iChecked, 500);    // the inputs do reach the parser's keys
}
