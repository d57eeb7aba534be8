// The exported entry points and the factory, called in-process and, as a host
// would, through oxnet.dll loaded by name.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "VZ_NetworkEx.h"
#include "net/TestSocketMgr.h"

namespace {

const char* const kNames[OXNET_INTERFACE_COUNT] = {
    "IIocpSocketMgr1.0", "IAsyncSocketMgr1.0", "ISelectSocketMgr1.0",
    "IIocpSocketMgr1.1", "IAsyncSocketMgr1.1", "IRecordSocketMgr1.0",
    "IIocpSocketMgr2.0", "IAsyncSocketMgr2.0", "ISelectSocketMgr2.0",
};

// FARPROC has no parameters; going through void* keeps the cast warning-free.
template <class FN> FN GetProc(HMODULE hDll, const char* lpszName)
{
    return reinterpret_cast<FN>(reinterpret_cast<void*>(GetProcAddress(hDll, lpszName)));
}

} // namespace

// Each name by its index, in-process and through oxnet.dll loaded as a host
// that knows only the DLL's file name does; made silently, and listed in its
// registry until destroyed.
TEST(NetworkEx, NamesByIndexAreMadeSilentlyAndRegisteredInProcessAndThroughTheDll)
{
    HMODULE hDll = LoadLibraryA("oxnet.dll");
    ASSERT_TRUE(hDll != NULL) << GetLastError();
    auto lpCreate = GetProc<decltype(&oxCreateInstance)>(hDll, "oxCreateInstance");
    auto lpDestroy = GetProc<decltype(&oxDestroyInstance)>(hDll, "oxDestroyInstance");
    auto lpName = GetProc<decltype(&oxGetInterfaceName)>(hDll, "oxGetInterfaceName");
    auto lpInit = GetProc<decltype(&oxInitialize)>(hDll, "oxInitialize");
    auto lpUninit = GetProc<decltype(&oxUninitialize)>(hDll, "oxUninitialize");
    ASSERT_TRUE(lpCreate && lpDestroy && lpName && lpInit && lpUninit);
    EXPECT_TRUE(lpInit());
    for (int i = 0; i < OXNET_INTERFACE_COUNT; ++i) {
        char buf[32], szDll[OXNET_MAX_NAME];
        std::memset(buf, 'x', sizeof(buf));
        ASSERT_TRUE(oxGetInterfaceName(i, buf) && lpName(i, szDll));
        EXPECT_STREQ(kNames[i], buf);
        EXPECT_STREQ(kNames[i], szDll);
        EXPECT_EQ('x', buf[std::strlen(kNames[i]) + 1]); // name and terminator only
        int iMgrs = GetSocketMgrInstanceCount(), iContainers = GetSocketMgrContainerCount();
        testing::internal::CaptureStdout();
        ISocketMgr* lpMgr = oxCreateInstance(buf);
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << buf;
        ASSERT_TRUE(lpMgr != NULL) << buf;
        bool bContainer = std::strstr(buf, "2.0") != NULL;
        EXPECT_EQ(iMgrs + (bContainer ? 0 : 1), GetSocketMgrInstanceCount()) << buf;
        EXPECT_EQ(iContainers + (bContainer ? 1 : 0), GetSocketMgrContainerCount()) << buf;
        oxDestroyInstance(lpMgr);
        EXPECT_EQ(iMgrs, GetSocketMgrInstanceCount());
        EXPECT_EQ(iContainers, GetSocketMgrContainerCount());
        lpMgr = lpCreate(buf);
        EXPECT_TRUE(lpMgr != NULL) << buf;
        lpDestroy(lpMgr);
    }
    lpUninit();
    EXPECT_TRUE(FreeLibrary(hDll));
    char buf[4] = {'a', 'b', 'c', 0};
    EXPECT_FALSE(oxGetInterfaceName(OXNET_INTERFACE_COUNT, buf) || oxGetInterfaceName(-1, buf));
    EXPECT_STREQ("abc", buf);
}

// An unknown name prints the help; a kind without engine gives NULL; a
// pointer the factory did not make is left alone.
TEST(NetworkEx, UnknownNamesAndKindsFailAndForeignPointersSurviveDestroy)
{
    for (const char* lpszName : {"iiocpsocketmgr1.0", "IIocpSocketMgr1.0 ", "", "IIocpSocketMgr3.0"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(NULL, oxCreateInstance(lpszName)) << lpszName;
        EXPECT_EQ("InterfaceName is:\nIIocpSocketMgr1.0\nIIocpSocketMgr1.1 record\nIAsyncSocketMgr1.0\n"
                  "IAsyncSocketMgr1.1 record\nISelectSocketMgr1.0\n2.0 is Container\n",
                  testing::internal::GetCapturedStdout()) << lpszName;
    }
    for (int iKind : {-1, 0, 4, 6, 100})
        EXPECT_EQ(NULL, CreateSocketMgr(iKind, NULL, false)) << iKind;
    bool bDestroyed = false;
    struct Foreign : TestSocketMgr {
        bool* m_lpbDestroyed = NULL;
        ~Foreign() override { *m_lpbDestroyed = true; }
    } mgr;
    mgr.m_lpbDestroyed = &bDestroyed;
    oxDestroyInstance(&mgr);
    oxDestroyInstance(NULL);
    EXPECT_FALSE(bDestroyed);
}
