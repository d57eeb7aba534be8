// oxdemo: a minimal host of oxnet.dll. It lists the interface names the
// library knows, then asks for each manager and hands it back.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>

#include "ISocketMgr.h"

int main()
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    if (!oxInitialize()) {
        std::printf("oxInitialize failed\n");
        return 1;
    }
    std::printf("oxnet interface names:\n");
    char szName[OXNET_MAX_NAME];
    int iCount = 0;
    while (oxGetInterfaceName(iCount, szName)) {
        std::printf("  %d %s\n", iCount, szName);
        ++iCount;
    }
    std::printf("managers:\n");
    for (int i = 0; i < iCount; ++i) {
        oxGetInterfaceName(i, szName);
        ISocketMgr* lpMgr = oxCreateInstance(szName);
        if (!lpMgr) {
            std::printf("  %-20s not available in this build\n", szName);
            continue;
        }
        oxDestroyInstance(lpMgr);
        std::printf("  %-20s created and destroyed\n", szName);
    }
    oxUninitialize();
    return iCount == OXNET_INTERFACE_COUNT ? 0 : 1;
}
