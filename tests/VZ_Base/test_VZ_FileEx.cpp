#include "VZ_FileEx.h"
#include "VZ_Assert.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string g_strReport;

void CaptureReport(const char* lpszExpr, const char* lpszModule, int)
{
    g_strReport = std::string(lpszModule) + ": " + lpszExpr;
}

class VZ_FileExTest : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t szDir[MAX_PATH];
        GetTempPathW(MAX_PATH, szDir);
        wchar_t szName[64];
        wsprintfW(szName, L"vz_fileex_%lu.tmp", GetCurrentProcessId());
        m_strPath = VZ_StringW(szDir) + szName;
        DeleteFileW(m_strPath);
    }
    void TearDown() override
    {
        SetFileAttributesW(m_strPath, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(m_strPath);
    }
    VZ_StringW m_strPath;
};

} // namespace

TEST_F(VZ_FileExTest, RejectsBadFlags)
{
    VZ_FileEx file;
    EXPECT_FALSE(file.Open(m_strPath, 0x0300));                 // no access bits
    EXPECT_FALSE(file.Open(VZ_StringW(), 0x0302));              // no path
    EXPECT_FALSE(file.Open(m_strPath, 0x0502));                 // no such creation value
    EXPECT_FALSE(file.Open(m_strPath, 0x0F03));
    EXPECT_FALSE(file.Open(m_strPath, 0x0001));                 // open existing by default
    EXPECT_FALSE(file.Open(m_strPath, 0x0101));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(m_strPath));
    EXPECT_FALSE(file.Close());
}

TEST_F(VZ_FileExTest, WriteThenReadBack)
{
    VZ_FileEx writer;
    ASSERT_TRUE(writer.Open(m_strPath, 0x0302));
    EXPECT_STREQ(m_strPath.c_str(), writer.GetPath().c_str());
    EXPECT_EQ(5, writer.Write("hello", 5));
    EXPECT_EQ(0, writer.Write("x", 0));
    EXPECT_EQ(-1, writer.Write("x", -1));
    EXPECT_TRUE(writer.Close());
    EXPECT_FALSE(writer.Close());
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer.GetHandle());

    VZ_FileEx reader;
    ASSERT_TRUE(reader.Open(m_strPath, 0x0101));
    char szBuffer[16] = {};
    EXPECT_EQ(-1, reader.Read(szBuffer, 0));
    EXPECT_EQ(-1, reader.Read(NULL, 4));
    EXPECT_EQ(5, reader.Read(szBuffer, sizeof(szBuffer)));
    EXPECT_STREQ("hello", szBuffer);
    EXPECT_EQ(0, reader.Read(szBuffer, sizeof(szBuffer)));      // end of file
    EXPECT_EQ(-1, reader.Write("x", 1));                       // opened for reading only
    EXPECT_TRUE(reader.Close());
}

TEST_F(VZ_FileExTest, CreationValues)
{
    VZ_FileEx file;
    ASSERT_TRUE(file.Open(m_strPath, 0x0402));                  // create new
    EXPECT_EQ(3, file.Write("abc", 3));
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.Open(m_strPath, 0x0402));                 // exists already
    ASSERT_TRUE(file.Open(m_strPath, 0x0203));                  // open always keeps the text
    char szBuffer[8] = {};
    EXPECT_EQ(3, file.Read(szBuffer, sizeof(szBuffer)));
    EXPECT_TRUE(file.Close());
    ASSERT_TRUE(file.Open(m_strPath, 0x0303));                  // create always truncates
    EXPECT_EQ(0, file.Read(szBuffer, sizeof(szBuffer)));
    EXPECT_TRUE(file.Close());
}

TEST_F(VZ_FileExTest, DenyBitsAndAttributes)
{
    VZ_FileEx owner, other;
    ASSERT_TRUE(owner.Open(m_strPath, 0x2322));                 // deny writing, hidden
    EXPECT_TRUE(GetFileAttributesW(m_strPath) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(other.Open(m_strPath, 0x0101));                 // reading is shared
    EXPECT_TRUE(other.Close());
    EXPECT_FALSE(other.Open(m_strPath, 0x0102));                // writing is denied
    EXPECT_TRUE(owner.Close());
}

TEST_F(VZ_FileExTest, WriteWithoutBufferReports)
{
    VZ_AssertHandler lpOld = VZ_SetAssertHandler(CaptureReport);
    g_strReport.clear();
    VZ_FileEx file;
    EXPECT_EQ(0, file.Write(NULL, 0));
    VZ_SetAssertHandler(lpOld);
    EXPECT_EQ("VZ_FileEx: m_hFile != NULL && buffer != NULL", g_strReport);
}
