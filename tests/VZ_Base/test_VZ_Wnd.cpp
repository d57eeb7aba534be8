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

struct Entry { UINT uMsg; WPARAM wParam; LPARAM lParam; };

// Logs every message that reaches this object, in a log of its own.
class LogWnd : public VZ_Wnd
{
public:
    explicit LogWnd(std::vector<Entry>& vecLog) : m_vecLog(vecLog) {}
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override
    {
        m_vecLog.push_back({uMsg, wParam, lParam});
        return VZ_Wnd::WindowProc(uMsg, wParam, lParam);
    }
    bool Create() { return VZ_Wnd::Create(NULL, CLASS_NAME, CLASS_NAME, 0xcf0000, 0, 0, 0, 0, NULL, NULL); }
    std::vector<Entry>& m_vecLog;
};

}  // namespace

// Two windows of one class on a window thread of their own; this thread posts
// to them, and each message must reach its own object through that thread's loop.
TEST(VZ_Wnd, PostedMessagesReachTheirObjectOnTheWindowThread)
{
    std::vector<Entry> vecLogA, vecLogB;       // written on the window thread only
    HWND hA = NULL, hB = NULL, hAfterSecondCreate = NULL;
    bool bSecondCreate = false, bEmptyDestroyed = true;
    BOOL bAliveAfterDelete = TRUE;
    DWORD dwThreadId = 0;
    HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::thread thr([&] {
        VZ_Wnd::RegisterClass(CLASS_NAME, NULL, 3, 0, 0, 0, 0, 0, 0, 0);
        LogWnd* a = new LogWnd(vecLogA);
        LogWnd* b = new LogWnd(vecLogB);
        bEmptyDestroyed = a->Destroy() || a->GetHwnd() != NULL;   // no window yet
        a->Create();
        b->Create();
        hA = a->GetHwnd(); hB = b->GetHwnd();
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

    for (int i = 0; i < 2; i++) {
        const std::vector<Entry>& vecLog = i == 0 ? vecLogA : vecLogB;
        ASSERT_FALSE(vecLog.empty());
        EXPECT_EQ(static_cast<UINT>(WM_CREATE), vecLog[0].uMsg);
        int iCreates = 0, iTests = 0, iOwn = 0;   // one create: the second Create made nothing
        for (const Entry& e : vecLog) {
            iCreates += e.uMsg == WM_CREATE;
            iTests += e.uMsg == WM_TEST;
            iOwn += e.uMsg == WM_TEST && e.wParam == WPARAM_A + i && e.lParam == LPARAM_A - i;
        }
        EXPECT_TRUE(iCreates == 1 && iTests == 1 && iOwn == 1) << i;
    }
    EXPECT_FALSE(bEmptyDestroyed);
    EXPECT_TRUE(bSecondCreate);
    EXPECT_EQ(hA, hAfterSecondCreate);
    EXPECT_FALSE(bAliveAfterDelete);
}
