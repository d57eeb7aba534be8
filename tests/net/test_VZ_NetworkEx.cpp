// The exported entry points and the factory. (The DLL's exports by their
// plain names: DllExportsAndImports; a host through the DLL: the consumer and
// MSVC-ABI hosts.)
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

} // namespace

// Each name by its index: made silently, and listed in its registry until
// destroyed.
TEST(NetworkEx, NamesByIndexAreMadeSilentlyAndRegistered)
{
    EXPECT_TRUE(oxInitialize());
    for (int i = 0; i < OXNET_INTERFACE_COUNT; ++i) {
        char buf[32];
        std::memset(buf, 'x', sizeof(buf));
        ASSERT_TRUE(oxGetInterfaceName(i, buf));
        EXPECT_STREQ(kNames[i], buf);
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
        EXPECT_TRUE(iMgrs == GetSocketMgrInstanceCount() && iContainers == GetSocketMgrContainerCount()) << buf;
    }
    oxUninitialize();
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
