// The exported entry points and the factory, called in-process and, as a host
// would, through oxnet.dll loaded by name.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "VZ_NetworkEx.h"
#include "net/RecordingSocketMgr.h"

namespace {

const char* const kNames[OXNET_INTERFACE_COUNT] = {
    "IIocpSocketMgr1.0", "IAsyncSocketMgr1.0", "ISelectSocketMgr1.0",
    "IIocpSocketMgr1.1", "IAsyncSocketMgr1.1", "IRecordSocketMgr1.0",
    "IIocpSocketMgr2.0", "IAsyncSocketMgr2.0", "ISelectSocketMgr2.0",
};

const char* const kHelp = "InterfaceName is:\nIIocpSocketMgr1.0\nIIocpSocketMgr1.1 record\n"
                          "IAsyncSocketMgr1.0\nIAsyncSocketMgr1.1 record\nISelectSocketMgr1.0\n"
                          "2.0 is Container\n";

} // namespace

TEST(NetworkEx, InterfaceNamesByIndex)
{
    for (int i = 0; i < OXNET_INTERFACE_COUNT; ++i) {
        char buf[32];
        std::memset(buf, 'x', sizeof(buf));
        ASSERT_TRUE(oxGetInterfaceName(i, buf));
        EXPECT_STREQ(kNames[i], buf);
        // Name and terminator only: the byte after them is untouched.
        EXPECT_EQ('x', buf[std::strlen(kNames[i]) + 1]);
    }
    char buf[4] = {'a', 'b', 'c', 0};
    EXPECT_FALSE(oxGetInterfaceName(9, buf));
    EXPECT_FALSE(oxGetInterfaceName(-1, buf));
    EXPECT_STREQ("abc", buf);
}

TEST(NetworkEx, UnknownNamePrintsHelpAndFails)
{
    const char* const names[] = {"iiocpsocketmgr1.0", "IIocpSocketMgr1.0 ", "", "IIocpSocketMgr3.0"};
    for (const char* lpszName : names) {
        testing::internal::CaptureStdout();
        ISocketMgr* lpMgr = oxCreateInstance(lpszName);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(NULL, lpMgr) << lpszName;
        EXPECT_EQ(kHelp, out) << lpszName;
    }
}

TEST(NetworkEx, KnownNamesPrintNothingAndRegisterWhatTheyMake)
{
    for (const char* lpszName : kNames) {
        int iMgrs = GetSocketMgrInstanceCount();
        int iContainers = GetSocketMgrContainerCount();
        testing::internal::CaptureStdout();
        ISocketMgr* lpMgr = oxCreateInstance(lpszName);
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << lpszName;
        bool bContainer = std::strstr(lpszName, "2.0") != NULL;
        int iAdded = lpMgr ? 1 : 0;
        EXPECT_EQ(iMgrs + (bContainer ? 0 : iAdded), GetSocketMgrInstanceCount()) << lpszName;
        EXPECT_EQ(iContainers + (bContainer ? iAdded : 0), GetSocketMgrContainerCount()) << lpszName;
        oxDestroyInstance(lpMgr);
        EXPECT_EQ(iMgrs, GetSocketMgrInstanceCount());
        EXPECT_EQ(iContainers, GetSocketMgrContainerCount());
    }
}

TEST(NetworkEx, FactoryKindsWithoutEngineYieldNullAndForeignPointersSurviveDestroy)
{
    for (int iKind : {-1, 0, 4, 6, 100})
        EXPECT_EQ(NULL, CreateSocketMgr(iKind, NULL, false)) << iKind;
    bool bDestroyed = false;
    RecordingSocketMgr mgr;
    mgr.m_lpbDestroyed = &bDestroyed;
    oxDestroyInstance(&mgr);
    oxDestroyInstance(NULL);
    EXPECT_FALSE(bDestroyed);
}

namespace {

// FARPROC has no parameters; going through void* keeps the cast warning-free.
template <class FN> FN GetProc(HMODULE hDll, const char* lpszName)
{
    return reinterpret_cast<FN>(reinterpret_cast<void*>(GetProcAddress(hDll, lpszName)));
}

} // namespace

// A host that knows only the DLL's file name.
TEST(NetworkEx, HostLoadsDllAndCallsExportsByName)
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
    char buf[OXNET_MAX_NAME];
    for (int i = 0; i < OXNET_INTERFACE_COUNT; ++i) {
        ASSERT_TRUE(lpName(i, buf));
        EXPECT_STREQ(kNames[i], buf);
        ISocketMgr* lpMgr = lpCreate(buf);
        lpDestroy(lpMgr);
    }
    EXPECT_FALSE(lpName(OXNET_INTERFACE_COUNT, buf));
    testing::internal::CaptureStdout();
    EXPECT_EQ(NULL, lpCreate("IRecordSocketMgr2.0"));
    EXPECT_EQ(kHelp, testing::internal::GetCapturedStdout());
    lpUninit();
    EXPECT_TRUE(FreeLibrary(hDll));
}
