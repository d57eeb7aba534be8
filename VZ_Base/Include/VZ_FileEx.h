// IFile on a platform file handle, opened with one flags word.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "IFile.h"
#include "VZ_String.h"

// Open flags: access, sharing, creation (one value of the 0x0F00 field) and
// attributes given at creation.
#define VZ_FILE_READ            0x0001
#define VZ_FILE_WRITE           0x0002
#define VZ_FILE_DENY_READ       0x0010
#define VZ_FILE_DENY_WRITE      0x0020
#define VZ_FILE_CREATION_MASK   0x0F00
#define VZ_FILE_OPEN_EXISTING   0x0100   // also when the creation field is 0
#define VZ_FILE_OPEN_ALWAYS     0x0200
#define VZ_FILE_CREATE_ALWAYS   0x0300
#define VZ_FILE_CREATE_NEW      0x0400
#define VZ_FILE_ATTR_READONLY   0x1000
#define VZ_FILE_ATTR_HIDDEN     0x2000
#define VZ_FILE_ATTR_ARCHIVE    0x4000

class VZ_FileEx : public IFile {
public:
    VZ_FileEx();
    // Does not close the handle: the owner calls Close first.
    ~VZ_FileEx() override;

    // False for an empty path, no access bits, an unknown creation value, or
    // when the file cannot be opened.
    bool Open(const VZ_StringW& strPath, DWORD dwFlags);
    // False when no file is open.
    bool Close();
    int Read(void* lpBuffer, int iSize) override;
    int Write(const void* buffer, int iSize) override;

    const VZ_StringW& GetPath() const { return m_strPath; }
    HANDLE GetHandle() const { return m_hFile; }

private:
    VZ_StringW m_strPath;
    HANDLE m_hFile;

    VZ_FileEx(const VZ_FileEx&) = delete;
    VZ_FileEx& operator=(const VZ_FileEx&) = delete;
};
