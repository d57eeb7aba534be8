// oxdemo --simulator: a short run of the completion-port engine under the
// network fault simulator, meant to be read by a person. The oxnet.ini beside
// the executable (scripts/demo.sh writes one) says what the simulator does;
// this run shows what a host sees: datagrams sent and arrived, connects that
// failed, and how late TCP sends arrive.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "EchoHost.h"
#include "ISocketMgr.h"

class VZ_SimulatorDemo : public VZ_NullSink {
public:
    int Run()
    {
        m_lpMgr = oxCreateInstance("IIocpSocketMgr1.0");
        if (m_lpMgr == NULL) {
            std::printf("simulator: IIocpSocketMgr1.0 is not in this build\n");
            return 1;
        }
        m_lpMgr->SetSink(this);
        m_lpMgr->Initialize(0, 0, 0, 0);
        Sleep(200); // the simulator fills its sets
        RunDatagrams();
        RunConnects();
        RunDelays();
        m_lpMgr->Uninitialize(0);
        oxDestroyInstance(m_lpMgr);
        return 0;
    }

    void OnTcpConnect(int iError, SOCKET, DWORD, DWORD) override { (iError == 0 ? m_iConnected : m_iFailed)++; }

private:
    static SOCKET Bound(int iType, sockaddr_in* lpAddr)
    {
        SOCKET s = socket(AF_INET, iType, 0);
        lpAddr->sin_family = AF_INET;
        lpAddr->sin_port = 0;
        lpAddr->sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(s, reinterpret_cast<sockaddr*>(lpAddr), sizeof(*lpAddr));
        int iLen = sizeof(*lpAddr);
        getsockname(s, reinterpret_cast<sockaddr*>(lpAddr), &iLen);
        DWORD dwTimeout = 1000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeout), sizeof(dwTimeout));
        return s;
    }

    void RunDatagrams()
    {
        sockaddr_in to;
        SOCKET sRecv = Bound(SOCK_DGRAM, &to);
        SOCKET u = m_lpMgr->CreateUdpSocket(NULL, "127.0.0.1", 0, 0, 0);
        const int iSent = 500;
        int iArrived = 0;
        char c = 0;
        for (int i = 0; i < iSent; ++i) {
            m_lpMgr->SendTo(u, &to, "d", 1, true);
            if (i % 50 == 49) // drained as it goes, so the receive buffer never overflows
                for (u_long ulReady = 1; ioctlsocket(sRecv, FIONREAD, &ulReady) == 0 && ulReady > 0;)
                    iArrived += recv(sRecv, &c, 1, 0) == 1;
        }
        while (recv(sRecv, &c, 1, 0) == 1)
            ++iArrived;
        std::printf("simulator: UDP burst: %d datagrams sent, %d arrived, %d lost (%.1f%%)\n", iSent, iArrived,
                    iSent - iArrived, 100.0 * (iSent - iArrived) / iSent);
        m_lpMgr->CloseSocket(u);
        closesocket(sRecv);
    }

    void RunConnects()
    {
        sockaddr_in addr;
        SOCKET sListen = Bound(SOCK_STREAM, &addr);
        listen(sListen, SOMAXCONN);
        const int iTries = 50;
        int iRefused = 0;
        SOCKET arrSock[iTries];
        for (int i = 0; i < iTries; ++i) {
            arrSock[i] = m_lpMgr->CreateTcpSocket(NULL, (const char*)NULL, 0, 0, 0);
            iRefused += !m_lpMgr->Connect(arrSock[i], &addr);
        }
        for (int i = 0; i < 300 && m_iConnected + m_iFailed + iRefused < iTries; ++i)
            Sleep(10);
        std::printf("simulator: connects: %d tried, %d connected, %d failed (%d refused at once)\n", iTries,
                    m_iConnected.load(), m_iFailed.load() + iRefused, iRefused);
        for (int i = 0; i < iTries; ++i)
            m_lpMgr->CloseSocket(arrSock[i]);
        closesocket(sListen);
    }

    // Each send is timed from Send to its arrival at a plain peer socket.
    void RunDelays()
    {
        sockaddr_in addr;
        SOCKET sListen = Bound(SOCK_STREAM, &addr);
        listen(sListen, 1);
        SOCKET s = m_lpMgr->CreateTcpSocket(NULL, (const char*)NULL, 0, 0, 0);
        m_iConnected = 0;
        m_lpMgr->Connect(s, &addr);
        SOCKET sPeer = accept(sListen, NULL, NULL);
        for (int i = 0; i < 300 && m_iConnected == 0; ++i)
            Sleep(10);
        DWORD dwTimeout = 5000;
        setsockopt(sPeer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeout), sizeof(dwTimeout));
        m_lpMgr->Send(s, "w", 1, 0, NULL); // the socket becomes a candidate for the delay
        char c = 0;
        recv(sPeer, &c, 1, 0);
        Sleep(100);
        DWORD dwMin = 0xFFFFFFFF, dwMax = 0, dwSum = 0;
        const int iRounds = 10;
        int iArrived = 0;
        for (int i = 0; i < iRounds; ++i) {
            DWORD dwStart = GetTickCount();
            m_lpMgr->Send(s, "t", 1, 0, NULL);
            if (recv(sPeer, &c, 1, 0) != 1)
                break;
            DWORD dwLate = GetTickCount() - dwStart;
            dwMin = dwLate < dwMin ? dwLate : dwMin;
            dwMax = dwLate > dwMax ? dwLate : dwMax;
            dwSum += dwLate;
            ++iArrived;
        }
        if (iArrived > 0)
            std::printf("simulator: TCP sends: %d of %d arrived, %lu to %lu ms after Send (mean %lu ms)\n", iArrived,
                        iRounds, dwMin, dwMax, dwSum / iArrived);
        else
            std::printf("simulator: TCP sends: none arrived within 5 s\n");
        m_lpMgr->CloseSocket(s);
        closesocket(sPeer);
        closesocket(sListen);
    }

    ISocketMgr* m_lpMgr = NULL;
    std::atomic<int> m_iConnected{0};
    std::atomic<int> m_iFailed{0};
};
