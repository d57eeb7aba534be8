#include "VZ_FileEx.h"
#include "VZ_Assert.h"

namespace {

// Creation disposition of the 0x0F00 field; 0 when the value names none.
DWORD Disposition(DWORD dwFlags)
{
    switch (dwFlags & VZ_FILE_CREATION_MASK) {
    case 0:
    case VZ_FILE_OPEN_EXISTING: return OPEN_EXISTING;
    case VZ_FILE_OPEN_ALWAYS:   return OPEN_ALWAYS;
    case VZ_FILE_CREATE_ALWAYS: return CREATE_ALWAYS;
    case VZ_FILE_CREATE_NEW:    return CREATE_NEW;
    default:                    return 0;
    }
}

DWORD Access(DWORD dwFlags)
{
    DWORD dwAccess = 0;
    if (dwFlags & VZ_FILE_READ)
        dwAccess |= GENERIC_READ;
    if (dwFlags & VZ_FILE_WRITE)
        dwAccess |= GENERIC_WRITE;
    return dwAccess;
}

// Others may do what the deny bits do not forbid.
DWORD Sharing(DWORD dwFlags)
{
    DWORD dwShare = 0;
    if (!(dwFlags & VZ_FILE_DENY_READ))
        dwShare |= FILE_SHARE_READ;
    if (!(dwFlags & VZ_FILE_DENY_WRITE))
        dwShare |= FILE_SHARE_WRITE;
    return dwShare;
}

DWORD Attributes(DWORD dwFlags)
{
    DWORD dwAttributes = FILE_ATTRIBUTE_NORMAL;
    if (dwFlags & VZ_FILE_ATTR_READONLY)
        dwAttributes |= FILE_ATTRIBUTE_READONLY;
    if (dwFlags & VZ_FILE_ATTR_HIDDEN)
        dwAttributes |= FILE_ATTRIBUTE_HIDDEN;
    if (dwFlags & VZ_FILE_ATTR_ARCHIVE)
        dwAttributes |= FILE_ATTRIBUTE_ARCHIVE;
    return dwAttributes;
}

} // namespace

VZ_FileEx::VZ_FileEx() : m_hFile(INVALID_HANDLE_VALUE)
{
}

VZ_FileEx::~VZ_FileEx()
{
}

// 1. Reject an empty path or missing access bits.
// 2. Store the path and map the flags; an unknown creation value fails.
// 3. CreateFileW with non-inheritable default security.
// Opening an object that holds a file closes the old one first, so that no
// handle is lost.
bool VZ_FileEx::Open(const VZ_StringW& strPath, DWORD dwFlags)
{
    if (strPath.IsEmpty() || Access(dwFlags) == 0)
        return false;
    m_strPath = strPath;
    DWORD dwDisposition = Disposition(dwFlags);
    if (dwDisposition == 0)
        return false;
    if (m_hFile != INVALID_HANDLE_VALUE)
        Close();
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = NULL;
    sa.bInheritHandle = FALSE;
    HANDLE hFile = CreateFileW(m_strPath.c_str(), Access(dwFlags), Sharing(dwFlags), &sa, dwDisposition,
                               Attributes(dwFlags), NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    m_hFile = hFile;
    return true;
}

bool VZ_FileEx::Close()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    return true;
}

int VZ_FileEx::Read(void* lpBuffer, int iSize)
{
    if (lpBuffer == NULL || iSize < 1)
        return -1;
    DWORD dwRead = 0;
    if (!ReadFile(m_hFile, lpBuffer, static_cast<DWORD>(iSize), &dwRead, NULL))
        return -1;
    return static_cast<int>(dwRead);
}

int VZ_FileEx::Write(const void* buffer, int iSize)
{
    VZ_ASSERT(m_hFile != NULL && buffer != NULL);
    if (iSize == 0)
        return 0;
    if (iSize < 0)
        return -1;
    DWORD dwWritten = 0;
    if (!WriteFile(m_hFile, buffer, static_cast<DWORD>(iSize), &dwWritten, NULL))
        return -1;
    return static_cast<int>(dwWritten);
}
