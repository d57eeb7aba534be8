#include <gtest/gtest.h>

#include "VZ_Wnd.h"

namespace {

const wchar_t CLASS_NAME[] = L"VZ_WndTestWnd";
const UINT WM_TEST = WM_USER + 800;
const WPARAM WPARAM_A = static_cast<WPARAM>(0x123456789ABCDEF0ull);   // all bits kept on x64
const LPARAM LPARAM_A = static_cast<LPARAM>(-2);

// Counts the messages that reach this object (the first must be WM_CREATE):
// creations, and test messages with this window's own parameters (wParam and
// lParam offset by iOwn), so that a message for the other object shows.
class LogWnd : public VZ_Wnd
{
public:
    int m_iOwn, m_iCreates = 0, m_iMine = 0, m_iOthers = 0;
    UINT m_uFirst = 0;
    explicit LogWnd(int iOwn) : m_iOwn(iOwn) {}
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override
    {
        m_uFirst = m_uFirst != 0 ? m_uFirst : uMsg;
        m_iCreates += uMsg == WM_CREATE;
        bool bMine = wParam == WPARAM_A + m_iOwn && lParam == LPARAM_A - m_iOwn;
        (bMine ? m_iMine : m_iOthers) += uMsg == WM_TEST;
        return VZ_Wnd::WindowProc(uMsg, wParam, lParam);
    }
};

}  // namespace

// Two windows of one class, the first made the way a window thread makes its
// hidden window; each posted message must reach its own object through the
// creating thread's loop, which ends at WM_QUIT once both are dispatched.
TEST(VZ_Wnd, PostedMessagesReachTheirObject)
{
    LogWnd* lpWnd[2] = { new LogWnd(0), new LogWnd(1) };
    ASSERT_TRUE(lpWnd[0]->CreateHidden(CLASS_NAME, 0xcf0000));
    ASSERT_TRUE(lpWnd[1]->Create(NULL, CLASS_NAME, CLASS_NAME, 0xcf0000, 0, 0, 0, 0, NULL, NULL));
    HWND hWnd[2] = { lpWnd[0]->GetHwnd(), lpWnd[1]->GetHwnd() };
    EXPECT_TRUE(lpWnd[0]->Create(NULL, CLASS_NAME, CLASS_NAME, 0, 0, 0, 0, 0, NULL, NULL)
                && hWnd[0] == lpWnd[0]->GetHwnd() && hWnd[0] != hWnd[1]);   // an existing window is kept
    EXPECT_TRUE(PostMessageW(hWnd[0], WM_TEST, WPARAM_A, LPARAM_A));
    EXPECT_TRUE(PostMessageW(hWnd[1], WM_TEST, WPARAM_A + 1, LPARAM_A - 1));
    PostQuitMessage(0);   // retrieved only once no posted message is left
    VZ_Wnd::RunMessages();
    for (int i = 0; i < 2; i++)   // one create each: the second Create made nothing
        EXPECT_TRUE(lpWnd[i]->m_uFirst == WM_CREATE && lpWnd[i]->m_iCreates == 1 && lpWnd[i]->m_iMine == 1
                    && lpWnd[i]->m_iOthers == 0) << i;
    delete lpWnd[1];   // its destructor destroys the window
    EXPECT_FALSE(IsWindow(hWnd[1]));
    lpWnd[0]->DestroyHidden(CLASS_NAME);   // also unregisters the class
    EXPECT_FALSE(IsWindow(hWnd[0]) || lpWnd[0]->GetHwnd() != NULL);
    delete lpWnd[0];
}
