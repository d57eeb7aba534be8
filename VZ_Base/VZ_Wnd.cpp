#include "VZ_Wnd.h"

#include <stdio.h>
#include <string.h>

#include "VZ_Assert.h"

// The thunk's code, per processor. The window procedure's first argument
// (hWnd) is replaced by the object, then the code jumps (not calls) to the
// dispatch procedure, which therefore returns straight to the window
// procedure's caller with the caller's stack untouched.
#if defined(_M_X64) || defined(__x86_64__)
// x64, 22 bytes: mov rcx, imm64 (the object; rcx holds hWnd) ;
// mov rax, imm64 (the procedure) ; jmp rax.
static const SIZE_T THUNK_SIZE = 22;
#elif defined(_M_IX86) || defined(__i386__)
// i686, the classic 13 bytes: mov dword ptr [esp+4], imm32 (the object over
// the hWnd stack slot) ; jmp rel32 (the procedure).
static const SIZE_T THUNK_SIZE = 13;
#else
#error "VZ_WndProcThunk: no thunk code for this processor"
#endif

VZ_WndProcThunk::VZ_WndProcThunk()
    : m_lpCode(static_cast<BYTE*>(VirtualAlloc(NULL, THUNK_SIZE, MEM_COMMIT | MEM_RESERVE,
                                               PAGE_EXECUTE_READWRITE)))
{
}

VZ_WndProcThunk::~VZ_WndProcThunk()
{
    if (m_lpCode != NULL)
        VirtualFree(m_lpCode, 0, MEM_RELEASE);
}

bool VZ_WndProcThunk::Init(void* lpObject, WNDPROC lpfnProc)
{
    VZ_ASSERT(m_lpCode != NULL);
    if (m_lpCode == NULL)
        return false;
    BYTE* p = m_lpCode;
#if defined(_M_X64) || defined(__x86_64__)
    UINT_PTR uProc = reinterpret_cast<UINT_PTR>(lpfnProc);
    p[0] = 0x48; p[1] = 0xB9;                   // mov rcx, imm64
    memcpy(p + 2, &lpObject, 8);
    p[10] = 0x48; p[11] = 0xB8;                 // mov rax, imm64
    memcpy(p + 12, &uProc, 8);
    p[20] = 0xFF; p[21] = 0xE0;                 // jmp rax
#else
    // rel32 counts from the end of the jmp, which is the end of the thunk.
    INT32 iRel = static_cast<INT32>(reinterpret_cast<UINT_PTR>(lpfnProc)
                                    - (reinterpret_cast<UINT_PTR>(p) + THUNK_SIZE));
    p[0] = 0xC7; p[1] = 0x44; p[2] = 0x24; p[3] = 0x04;    // mov dword ptr [esp+4], imm32
    memcpy(p + 4, &lpObject, 4);
    p[8] = 0xE9;                                // jmp rel32
    memcpy(p + 9, &iRel, 4);
#endif
    FlushInstructionCache(GetCurrentProcess(), m_lpCode, THUNK_SIZE);
    return true;
}

VZ_Wnd::VZ_Wnd()
    : m_hWnd(NULL)
{
}

VZ_Wnd::~VZ_Wnd()
{
    if (m_hWnd == NULL)
        return;
    HWND hWnd = m_hWnd;
    // From another thread DestroyWindow fails and the window lives on; its
    // procedure then goes back to DefWindowProcW, so that no message can run
    // the thunk once its memory is released with this object.
    if (!DestroyWindow(hWnd) && IsWindow(hWnd))
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcW));
    m_hWnd = NULL;
}

LRESULT VZ_Wnd::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
}

void VZ_Wnd::RegisterClass(LPCWSTR lpszClassName, HINSTANCE hInstance, UINT style,
                           int cbClsExtra, int cbWndExtra, HICON hIcon, HCURSOR hCursor,
                           HBRUSH hbrBackground, LPCWSTR lpszMenuName, HICON hIconSm)
{
    WNDCLASSEXW wc;
    wc.cbSize = sizeof(wc);             // 48 on a 32-bit build, 80 on x64
    wc.style = style;
    wc.lpfnWndProc = StartWindowProc;
    wc.cbClsExtra = cbClsExtra;
    wc.cbWndExtra = cbWndExtra;
    wc.hInstance = hInstance;
    wc.hIcon = hIcon;
    wc.hCursor = hCursor;
    wc.hbrBackground = hbrBackground;
    wc.lpszMenuName = lpszMenuName;
    wc.lpszClassName = lpszClassName;
    wc.hIconSm = hIconSm;
    RegisterClassExW(&wc);
}

void VZ_Wnd::UnregisterClass(LPCWSTR lpszClassName, HINSTANCE hInstance)
{
    UnregisterClassW(lpszClassName, hInstance);
}

bool VZ_Wnd::Create(HINSTANCE hInstance, LPCWSTR lpszClassName, LPCWSTR lpszWindowName,
                    DWORD dwStyle, int x, int y, int nWidth, int nHeight,
                    HWND hWndParent, HMENU hMenu)
{
    return CreateEx(hInstance, 0, lpszClassName, lpszWindowName, dwStyle, x, y, nWidth,
                    nHeight, hWndParent, hMenu);
}

bool VZ_Wnd::CreateEx(HINSTANCE hInstance, DWORD dwExStyle, LPCWSTR lpszClassName,
                      LPCWSTR lpszWindowName, DWORD dwStyle, int x, int y, int nWidth,
                      int nHeight, HWND hWndParent, HMENU hMenu)
{
    // The start procedure already stores the handle on WM_CREATE; the result
    // stored here also covers a creation that failed after it.
    if (m_hWnd == NULL)
        m_hWnd = CreateWindowExW(dwExStyle, lpszClassName, lpszWindowName, dwStyle, x, y,
                                 nWidth, nHeight, hWndParent, hMenu, hInstance, this);
    return m_hWnd != NULL;
}

bool VZ_Wnd::Destroy()
{
    if (m_hWnd == NULL)
        return false;
    HWND hWnd = m_hWnd;                 // WM_NCDESTROY clears m_hWnd on the way
    DestroyWindow(hWnd);
    m_hWnd = NULL;
    return true;
}

LRESULT CALLBACK VZ_Wnd::StartWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    // 1. The object sees nothing before WM_CREATE.
    if (uMsg != WM_CREATE)
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);

    // 2. The object is the creation parameter that Create passed. A window
    //    of this class made without one has no object: it is refused.
    VZ_Wnd* lpWnd = static_cast<VZ_Wnd*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    VZ_ASSERT(lpWnd != NULL);
    if (lpWnd == NULL)
        return -1;
    lpWnd->m_hWnd = hWnd;
    if (!lpWnd->m_thunk.Init(lpWnd, DispatchWindowProc))
        return -1;

    // 3. From now on the thunk is the window's procedure; WM_CREATE goes
    //    through it too, so it is the first message the object sees.
    WNDPROC lpfnThunk = lpWnd->m_thunk.GetWndProc();
    SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(lpfnThunk));
    return lpfnThunk(hWnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK VZ_Wnd::DispatchWindowProc(HWND hObject, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    VZ_Wnd* lpWnd = reinterpret_cast<VZ_Wnd*>(hObject);
    LRESULT lResult = lpWnd->WindowProc(uMsg, wParam, lParam);
    // The window's last message: however it was destroyed, the object has
    // no window any more.
    if (uMsg == WM_NCDESTROY)
        lpWnd->m_hWnd = NULL;
    return lResult;
}

bool VZ_Wnd::CreateHidden(LPCWSTR lpszName, DWORD dwStyle)
{
    RegisterClass(lpszName, NULL, CS_VREDRAW | CS_HREDRAW, 0, 0, NULL, NULL, NULL, NULL, NULL);
    for (int iTry = 0; iTry < 2; ++iTry) {
        if (Create(NULL, lpszName, lpszName, dwStyle, 0, 0, 0, 0, NULL, NULL))
            return true;
        printf("VZ_Wnd: window %ls not created, error %lu\n", lpszName, GetLastError());
        fflush(stdout);
    }
    return false;
}

void VZ_Wnd::RunMessages()
{
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0) > 0)
        DispatchMessageW(&msg);
}

void VZ_Wnd::DestroyHidden(LPCWSTR lpszName)
{
    Destroy();
    UnregisterClass(lpszName, NULL);
}
