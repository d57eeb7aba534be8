#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "VZ_Wnd.h"

namespace {

const wchar_t CLASS_NAME[] = L"VZ_WndTestWnd";
const UINT WM_TEST = WM_USER + 800;
const WPARAM WPARAM_A = static_cast<WPARAM>(0x123456789ABCDEF0ull);   // all bits kept on x64
const LPARAM LPARAM_A = static_cast<LPARAM>(-2);

struct Entry { const void* lpThis; UINT uMsg; WPARAM wParam; LPARAM lParam; };

// Logs every message it sees, with the object it reached, in a log of its thread.
class LogWnd : public VZ_Wnd
{
public:
    explicit LogWnd(std::vector<Entry>& vecLog) : m_vecLog(vecLog) {}
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override
    {
        m_vecLog.push_back({this, uMsg, wParam, lParam});
        return VZ_Wnd::WindowProc(uMsg, wParam, lParam);
    }
    bool Create() { return VZ_Wnd::Create(NULL, CLASS_NAME, CLASS_NAME, 0xcf0000, 0, 0, 0, 0, NULL, NULL); }
    std::vector<Entry>& m_vecLog;
};

std::vector<Entry> Only(const std::vector<Entry>& vecLog, const void* lpThis, UINT uMsg = 0)
{
    std::vector<Entry> vec;
    for (const Entry& e : vecLog)
        if (e.lpThis == lpThis && (uMsg == 0 || e.uMsg == uMsg))
            vec.push_back(e);
    return vec;
}

}  // namespace

// Two windows of one class on a window thread of their own; this thread posts
// to them, and each message must reach its own object through that thread's loop.
TEST(VZ_Wnd, PostedMessagesReachTheirObjectOnTheWindowThread)
{
    std::vector<Entry> vecLog;                 // written on the window thread only
    const void* lpA = NULL; const void* lpB = NULL;
    HWND hA = NULL, hB = NULL, hAfterSecondCreate = NULL;
    bool bSecondCreate = false;
    BOOL bAliveAfterDelete = TRUE;
    DWORD dwThreadId = 0;
    HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::thread thr([&] {
        VZ_Wnd::RegisterClass(CLASS_NAME, NULL, 3, 0, 0, 0, 0, 0, 0, 0);
        LogWnd* a = new LogWnd(vecLog);
        LogWnd* b = new LogWnd(vecLog);
        a->Create();
        b->Create();
        lpA = a; lpB = b; hA = a->GetHwnd(); hB = b->GetHwnd();
        bSecondCreate = a->Create();
        hAfterSecondCreate = a->GetHwnd();
        MSG msg;
        PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);   // the thread has a queue
        dwThreadId = GetCurrentThreadId();
        SetEvent(hReady);
        while (GetMessageW(&msg, NULL, 0, 0) > 0)
            DispatchMessageW(&msg);
        delete a;
        delete b;
        bAliveAfterDelete = IsWindow(hA) || IsWindow(hB);
        VZ_Wnd::UnregisterClass(CLASS_NAME, NULL);
    });
    // The first window of a process also starts Wine's desktop: slow under load.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hReady, 30000));
    EXPECT_TRUE(hA != NULL && hB != NULL && hA != hB);
    EXPECT_TRUE(PostMessageW(hA, WM_TEST, WPARAM_A, LPARAM_A));
    EXPECT_TRUE(PostMessageW(hB, WM_TEST, WPARAM_A + 1, LPARAM_A - 1));
    PostThreadMessageW(dwThreadId, WM_QUIT, 0, 0);
    thr.join();
    CloseHandle(hReady);

    for (const void* lpThis : {lpA, lpB}) {
        std::vector<Entry> vec = Only(vecLog, lpThis);
        ASSERT_FALSE(vec.empty());
        EXPECT_EQ(static_cast<UINT>(WM_CREATE), vec[0].uMsg);
        EXPECT_EQ(1u, Only(vecLog, lpThis, WM_CREATE).size());   // the second Create made nothing
    }
    std::vector<Entry> vecA = Only(vecLog, lpA, WM_TEST), vecB = Only(vecLog, lpB, WM_TEST);
    ASSERT_EQ(1u, vecA.size());
    ASSERT_EQ(1u, vecB.size());
    EXPECT_TRUE(vecA[0].wParam == WPARAM_A && vecA[0].lParam == LPARAM_A);
    EXPECT_TRUE(vecB[0].wParam == WPARAM_A + 1 && vecB[0].lParam == LPARAM_A - 1);
    EXPECT_TRUE(bSecondCreate);
    EXPECT_EQ(hA, hAfterSecondCreate);
    EXPECT_FALSE(bAliveAfterDelete);
}

TEST(VZ_Wnd, DestroyWithoutWindowFails)
{
    std::vector<Entry> vecLog;
    LogWnd wnd(vecLog);
    EXPECT_FALSE(wnd.Destroy());
    EXPECT_TRUE(wnd.GetHwnd() == NULL);
}
