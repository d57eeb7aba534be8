#include <gtest/gtest.h>

#include <thread>

#include "VZ_Wnd.h"

namespace {

const wchar_t CLASS_NAME[] = L"VZ_WndTestWnd";
const UINT WM_TEST = WM_USER + 800;
const WPARAM WPARAM_A = static_cast<WPARAM>(0x123456789ABCDEF0ull);   // all bits kept on x64
const LPARAM LPARAM_A = static_cast<LPARAM>(-2);

// Counts the messages that reach this object (the first must be WM_CREATE):
// creations, and test messages with or without this window's own parameters
// (wParam/lParam offset by iOwn).
class LogWnd : public VZ_Wnd
{
public:
    int m_iOwn, m_iCreates = 0, m_iTests = 0, m_iMine = 0;
    UINT m_uFirst = 0;
    explicit LogWnd(int iOwn) : m_iOwn(iOwn) {}
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override
    {
        m_uFirst = m_uFirst != 0 ? m_uFirst : uMsg;
        m_iCreates += uMsg == WM_CREATE;
        m_iTests += uMsg == WM_TEST;
        m_iMine += uMsg == WM_TEST && wParam == WPARAM_A + m_iOwn && lParam == LPARAM_A - m_iOwn;
        return VZ_Wnd::WindowProc(uMsg, wParam, lParam);
    }
    bool Create() { return VZ_Wnd::Create(NULL, CLASS_NAME, CLASS_NAME, 0xcf0000, 0, 0, 0, 0, NULL, NULL); }
};

}  // namespace

// Two windows of one class on a window thread of their own; this thread posts
// to them, and each message must reach its own object through that thread's
// loop. The window thread checks its own part; this one waits meanwhile.
TEST(VZ_Wnd, PostedMessagesReachTheirObjectOnTheWindowThread)
{
    LogWnd* lpWnd[2] = { new LogWnd(0), new LogWnd(1) };   // counted on the window thread only
    HWND hWnd[2] = {};
    DWORD dwThreadId = 0;
    HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::thread thr([&] {
        VZ_Wnd::RegisterClass(CLASS_NAME, NULL, 3, 0, 0, 0, 0, 0, 0, 0);
        EXPECT_FALSE(lpWnd[0]->Destroy() || lpWnd[0]->GetHwnd() != NULL);   // no window yet
        for (int i = 0; i < 2; i++)
            lpWnd[i]->Create(), hWnd[i] = lpWnd[i]->GetHwnd();
        EXPECT_TRUE(lpWnd[0]->Create() && hWnd[0] == lpWnd[0]->GetHwnd());   // an existing window is kept
        MSG msg;
        PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);   // the thread has a queue
        dwThreadId = GetCurrentThreadId();
        SetEvent(hReady);
        while (GetMessageW(&msg, NULL, 0, 0) > 0)
            DispatchMessageW(&msg);
        EXPECT_TRUE(lpWnd[0]->Destroy());
        EXPECT_FALSE(IsWindow(hWnd[0]) || lpWnd[0]->GetHwnd() != NULL);
        for (int i = 0; i < 2; i++)   // one create each: the second Create made nothing
            EXPECT_TRUE(lpWnd[i]->m_uFirst == WM_CREATE && lpWnd[i]->m_iCreates == 1 && lpWnd[i]->m_iTests == 1
                        && lpWnd[i]->m_iMine == 1) << i;
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
}
