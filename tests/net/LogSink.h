// A sink that logs every event as one line "name arguments..." (addresses as
// a.b.c.d:port or "-", received bytes last), with the thread it came on.
// m_fnHook, when set, runs after each line is logged, outside the lock; for
// OnTcpRecv it gets the length pointer, so it can consume (default: all).
// NULL pointers are tolerated: slot tests call every event with zeros.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ISocketMgr.h"
#include "NetTestUtil.h"

class LogSink : public ISocketMgrSink {
public:
    std::function<void(const char* lpszName, SOCKET s, UINT* lpuiLen)> m_fnHook;

    std::vector<std::string> Log()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecLog;
    }
    std::vector<DWORD> Threads()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecThreads;
    }
    // True when at least n lines are logged within dwMs.
    bool WaitFor(size_t n, DWORD dwMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(dwMs), [&] { return m_vecLog.size() >= n; });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecLog.clear();
        m_vecThreads.clear();
    }
    void Add(const std::string& strLine)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecLog.push_back(strLine);
        m_vecThreads.push_back(GetCurrentThreadId());
        m_cv.notify_all();
    }

    bool OnSocketPreAccept(const sockaddr_in* l, const sockaddr_in* p) override
    {
        return Event("preaccept", 0, NULL, Addr(l), Addr(p)), true;
    }
    void OnTcpConnect(int e, SOCKET s, DWORD d1, DWORD d2) override { Event("connect", s, NULL, e, s, d1, d2); }
    void OnTcpAccept(int e, SOCKET s, SOCKET a, const sockaddr_in* l, const sockaddr_in* p) override
    {
        Event("accept", s, NULL, e, s, a, Addr(l), Addr(p));
    }
    void OnTcpRecv(int e, SOCKET s, const char* buf, UINT* lpui, DWORD d1, DWORD d2) override
    {
        Event("recv", s, lpui, e, s, d1, d2, Bytes(buf, lpui ? *lpui : 0));
    }
    void OnUdpRecv(int e, SOCKET s, const char* buf, int n, const sockaddr_in* p, DWORD d1, DWORD d2) override
    {
        Event("udp", s, NULL, e, s, Addr(p), d1, d2, Bytes(buf, buf && n > 0 ? n : 0));
    }
    void OnTcpSend(int e, SOCKET s, DWORD d1, DWORD d2, DWORD d3, UINT n) override
    {
        Event("send", s, NULL, e, s, d1, d2, d3, n);
    }
    void OnSocketClose(int e, SOCKET s, int st, DWORD d1, DWORD d2) override
    {
        Event("close", s, NULL, e, s, st, d1, d2);
    }
    void OnRecvTimeout(int e, SOCKET s, DWORD d1, DWORD d2) override { Event("recvtimeout", s, NULL, e, s, d1, d2); }
    void OnSendTimeout(int e, SOCKET s, DWORD d1, DWORD d2) override { Event("sendtimeout", s, NULL, e, s, d1, d2); }
    void OnDnsParse(const char* n, ULONG ul) override { Event("dns", 0, NULL, n ? n : "", ul); }
    void OnTimer(SOCKET s, UINT id, DWORD d1, DWORD d2, DWORD d3) override
    {
        Event("timer", s, NULL, s, id, d1, d2, d3);
    }
    void OnProxyResult(int e, SOCKET s, const sockaddr_in* a, DWORD d1, DWORD d2) override
    {
        Event("proxy", s, NULL, e, s, Addr(a), d1, d2);
    }
    DWORD OnReserved(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) override
    {
        return Event("reserved", 0, NULL), 0;
    }

    static std::string Addr(const sockaddr_in* lpAddr)
    {
        if (lpAddr == NULL)
            return "-";
        const BYTE* b = reinterpret_cast<const BYTE*>(&lpAddr->sin_addr);
        std::ostringstream os;
        os << int(b[0]) << '.' << int(b[1]) << '.' << int(b[2]) << '.' << int(b[3]) << ':' << ntohs(lpAddr->sin_port);
        return os.str();
    }

private:
    static std::string Bytes(const char* buf, size_t n) { return n != 0 ? std::string(buf, n) : ""; }
    template <class... T> void Event(const char* lpszName, SOCKET s, UINT* lpuiLen, const T&... args)
    {
        Add(Line(lpszName, args...));
        if (m_fnHook)
            m_fnHook(lpszName, s, lpuiLen);
    }

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<std::string> m_vecLog;
    std::vector<DWORD> m_vecThreads;
};
