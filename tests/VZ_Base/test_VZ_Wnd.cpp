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
// to them, and each message must reach its own object through that thread's
// loop. The window thread checks its own part; this one waits meanwhile.
TEST(VZ_Wnd, PostedMessagesReachTheirObjectOnTheWindowThread)
{
    std::vector<Entry> vecLog[2];   // written on the window thread only
    HWND hWnd[2] = {};
    DWORD dwThreadId = 0;
    HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::thread thr([&] {
        VZ_Wnd::RegisterClass(CLASS_NAME, NULL, 3, 0, 0, 0, 0, 0, 0, 0);
        LogWnd* lpWnd[2] = { new LogWnd(vecLog[0]), new LogWnd(vecLog[1]) };
        EXPECT_FALSE(lpWnd[0]->Destroy() || lpWnd[0]->GetHwnd() != NULL);   // no window yet
        for (int i = 0; i < 2; i++)
            lpWnd[i]->Create(), hWnd[i] = lpWnd[i]->GetHwnd();
        EXPECT_TRUE(lpWnd[0]->Create());   // an existing window is kept
        EXPECT_EQ(hWnd[0], lpWnd[0]->GetHwnd());
        MSG msg;
        PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);   // the thread has a queue
        dwThreadId = GetCurrentThreadId();
        SetEvent(hReady);
        while (GetMessageW(&msg, NULL, 0, 0) > 0)
            DispatchMessageW(&msg);
        EXPECT_TRUE(lpWnd[0]->Destroy());
        EXPECT_FALSE(IsWindow(hWnd[0]) || lpWnd[0]->GetHwnd() != NULL);
        delete lpWnd[0];
        delete lpWnd[1];   // its destructor destroys the window
        EXPECT_FALSE(IsWindow(hWnd[1]));
        VZ_Wnd::UnregisterClass(CLASS_NAME, NULL);
    });
    // The first window of a process also starts Wine's desktop: slow under load.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hReady, 30000));
    EXPECT_TRUE(hWnd[0] != NULL && hWnd[1] != NULL && hWnd[0] != hWnd[1]);
    EXPECT_TRUE(PostMessageW(hWnd[0], WM_TEST, WPARAM_A, LPARAM_A));
    EXPECT_TRUE(PostMessageW(hWnd[1], WM_TEST, WPARAM_A + 1, LPARAM_A - 1));
    PostThreadMessageW(dwThreadId, WM_QUIT, 0, 0);
    thr.join();
    CloseHandle(hReady);

    for (int i = 0; i < 2; i++) {
        ASSERT_FALSE(vecLog[i].empty());
        EXPECT_EQ(static_cast<UINT>(WM_CREATE), vecLog[i][0].uMsg);
        int iCreates = 0, iTests = 0, iOwn = 0;   // one create: the second Create made nothing
        for (const Entry& e : vecLog[i]) {
            iCreates += e.uMsg == WM_CREATE;
            iTests += e.uMsg == WM_TEST;
            iOwn += e.uMsg == WM_TEST && e.wParam == WPARAM_A + i && e.lParam == LPARAM_A - i;
        }
        EXPECT_TRUE(iCreates == 1 && iTests == 1 && iOwn == 1) << i;
    }
}
