#include "VZ_FileEx.h"
#include "CheckCapture.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// A temporary file of this process, absent when each test starts.
class VZ_FileExTest : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t szPath[MAX_PATH + 32];
        wsprintfW(szPath + GetTempPathW(MAX_PATH, szPath), L"vz_fileex_%lu.tmp", GetCurrentProcessId());
        m_strPath = szPath;
        DeleteFileW(m_strPath);
    }
    void TearDown() override { DeleteFileW(m_strPath); }
    VZ_StringW m_strPath;
};

} // namespace

TEST_F(VZ_FileExTest, OpenWriteReadCloseCreationDenyBitsAndAttributes)
{
    VZ_FileEx writer, reader;
    // Open existing by default; no access bits: nothing created; no name.
    EXPECT_FALSE(writer.Open(m_strPath, 0x0001) || writer.Open(m_strPath, 0x0300) || writer.Open(VZ_StringW(), 0x0302));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(m_strPath));
    EXPECT_FALSE(writer.Close());

    ASSERT_TRUE(writer.Open(m_strPath, 0x0302));
    EXPECT_TRUE(writer.Write("hello", 5) == 5 && writer.Write("x", 0) == 0 && writer.Write("x", -1) == -1);
    EXPECT_TRUE(writer.Close() && !writer.Close());
    for (DWORD dwFlags : { 0x0100, 0x0502, 0x0F03 })           // the file exists now
        EXPECT_FALSE(writer.Open(m_strPath, dwFlags)) << std::hex << dwFlags;

    ASSERT_TRUE(reader.Open(m_strPath, 0x0101));
    char szBuffer[16] = {};
    EXPECT_TRUE(reader.Read(szBuffer, 0) == -1 && reader.Read(NULL, 4) == -1);
    EXPECT_EQ(5, reader.Read(szBuffer, sizeof(szBuffer)));
    EXPECT_STREQ("hello", szBuffer);
    EXPECT_EQ(0, reader.Read(szBuffer, sizeof(szBuffer)));     // end of file
    EXPECT_EQ(-1, reader.Write("x", 1));                       // opened for reading only
    EXPECT_TRUE(reader.Close());

    DeleteFileW(m_strPath);
    ASSERT_TRUE(writer.Open(m_strPath, 0x2422));               // create new, deny writing, hidden
    EXPECT_EQ(3, writer.Write("abc", 3));
    EXPECT_TRUE(GetFileAttributesW(m_strPath) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(reader.Open(m_strPath, 0x0101) && reader.Close());   // reading is shared
    EXPECT_FALSE(reader.Open(m_strPath, 0x0102));              // writing is denied
    EXPECT_TRUE(writer.Close());
    EXPECT_FALSE(writer.Open(m_strPath, 0x0402));              // exists already
    ASSERT_TRUE(writer.Open(m_strPath, 0x0203));               // open always keeps the text
    EXPECT_EQ(3, writer.Read(szBuffer, sizeof(szBuffer)));
    EXPECT_TRUE(writer.Close());
    ASSERT_TRUE(writer.Open(m_strPath, 0x2303));               // create always truncates
    EXPECT_EQ(0, writer.Read(szBuffer, sizeof(szBuffer)));
    EXPECT_TRUE(writer.Close());

    CheckCapture checks;
    EXPECT_EQ(0, reader.Write(NULL, 0));
    EXPECT_EQ("VZ_FileEx: m_hFile != NULL && buffer != NULL;", checks.Conditions(true));
}
