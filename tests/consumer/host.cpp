// A host of the installed oxnet SDK: it makes a manager through oxnet.dll,
// starts it, listens on 127.0.0.1 and shuts it down again; no connection
// means no event, so it sets no sink. Transfers and events through the DLL
// are the engine suite's and the MSVC-ABI host's; the version resource is
// checked on the install tree (sdk-test.sh). Exit code 0 when everything held.
#include <oxnet/ISocketMgr.h>   // self-contained: brings the Windows headers

#include <cstdio>

namespace {

const char ENGINE[] = "IIocpSocketMgr1.0";

int Fail(const char* lpszWhat)
{
    std::printf("FAILED: %s\n", lpszWhat);
    return 1;
}

} // namespace

int main()
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    if (!oxInitialize())
        return Fail("oxInitialize");
    ISocketMgr* lpMgr = oxCreateInstance(ENGINE);
    if (lpMgr == NULL)
        return Fail("oxCreateInstance");
    int iResult = lpMgr->Initialize(0, 0, 0, 0) ? 0 : Fail("Initialize");
    SOCKET sListen = iResult == 0 ? lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 0) : INVALID_SOCKET;
    if (iResult == 0 && (sListen == INVALID_SOCKET || !lpMgr->Listen(sListen, 5) || !lpMgr->CloseSocket(sListen)))
        iResult = Fail("a listening socket on 127.0.0.1");
    if (!lpMgr->Uninitialize(0) && iResult == 0)
        iResult = Fail("Uninitialize");
    oxDestroyInstance(lpMgr);
    oxUninitialize();
    if (iResult == 0)
        std::printf("consumer: passed\n");
    return iResult;
}
