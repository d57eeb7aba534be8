// Helpers of the net tests: log lines as LogSink writes them,
// position-dependent bytes, and the local address of a socket.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

typedef std::vector<std::string> Lines;

// One log line as LogSink writes it.
template <class... T> std::string Line(const char* lpszName, const T&... args)
{
    std::ostringstream os;
    os << lpszName;
    ((os << ' ' << args), ...);
    return os.str();
}

// Bytes that depend on their position, so a lost, doubled or reordered block shows.
inline std::string Pattern(size_t nOffset, size_t nLen)
{
    std::string str(nLen, '\0');
    for (size_t i = 0; i < nLen; ++i)
        str[i] = char((nOffset + i) % 251);
    return str;
}

inline sockaddr_in LocalAddr(SOCKET s)
{
    sockaddr_in addr = {};
    int iLen = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &iLen);
    return addr;
}

// A fresh temporary directory as the process's current one while it lives
// (oxnet.rec is written there); removed again with its oxnet.rec.
class TempCurrentDir {
public:
    TempCurrentDir()
    {
        wchar_t szTemp[MAX_PATH];
        GetTempPathW(MAX_PATH, szTemp), GetCurrentDirectoryW(MAX_PATH, m_szOldDir);
        m_strDir = szTemp + std::to_wstring(GetCurrentProcessId()) + L"-rec";
        m_bOk = CreateDirectoryW(m_strDir.c_str(), NULL) && SetCurrentDirectoryW(m_strDir.c_str());
    }
    ~TempCurrentDir()
    {
        DeleteFileW(L"oxnet.rec"), RemoveDirectoryW(L"oxnet.rec");
        SetCurrentDirectoryW(m_szOldDir), RemoveDirectoryW(m_strDir.c_str());
    }
    bool m_bOk;

private:
    wchar_t m_szOldDir[MAX_PATH];
    std::wstring m_strDir;
};

// Runs oxrecdump (beside this test program) on oxnet.rec; returns its exit
// code, its standard output in *lpstrOut.
inline int RunDump(std::string* lpstrOut)
{
    wchar_t szPath[MAX_PATH];
    std::wstring strCmd(szPath, GetModuleFileNameW(NULL, szPath, MAX_PATH));
    strCmd = strCmd.substr(0, strCmd.find_last_of(L"\\/") + 1) + L"oxrecdump.exe";
    FILE* fp = _wpopen(strCmd.c_str(), L"r");
    if (fp == NULL)
        return -1;
    for (int ch; (ch = fgetc(fp)) != EOF;)
        *lpstrOut += char(ch);
    return _pclose(fp);
}
