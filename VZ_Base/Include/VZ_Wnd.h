// One platform window bound to one object through a window-procedure thunk.
//
// Every message of the window, from WM_CREATE on, reaches the object's
// virtual WindowProc without any lookup table: the class's window procedure
// (the start procedure) binds the window on WM_CREATE by making the object's
// thunk the window's procedure, and the thunk calls the dispatch procedure
// with the object in place of the window handle. A window and its object
// belong to the thread that created the window; that thread runs the message
// loop (GetMessageW / DispatchMessageW), other threads only post messages.
#pragma once

#include <winsock2.h>
#include <windows.h>

// The Win32 headers map RegisterClass and UnregisterClass to their A/W
// variants by macro, which would rename this class's members depending on
// UNICODE. They are dropped here, once windows.h is in: code that includes
// this header and calls the Win32 functions names the W (or A) form
// explicitly. windows.h is include-guarded, so a later #include cannot bring
// them back.
#ifdef RegisterClass
#undef RegisterClass
#endif
#ifdef UnregisterClass
#undef UnregisterClass
#endif

// A few bytes of executable memory that, called as a window procedure with
// (hWnd, uMsg, wParam, lParam), jump to another procedure with
// (lpObject, uMsg, wParam, lParam). The memory comes from VirtualAlloc at
// construction and goes back at destruction.
class VZ_WndProcThunk
{
public:
    VZ_WndProcThunk();
    virtual ~VZ_WndProcThunk();

    // Writes the code for this object and procedure and flushes the
    // instruction cache. False (after a report) when there is no memory.
    bool Init(void* lpObject, WNDPROC lpfnProc);
    // The code as a window procedure; NULL when the memory could not be had.
    WNDPROC GetWndProc() const { return reinterpret_cast<WNDPROC>(m_lpCode); }

private:
    BYTE* m_lpCode;

    VZ_WndProcThunk(const VZ_WndProcThunk&) = delete;
    VZ_WndProcThunk& operator=(const VZ_WndProcThunk&) = delete;
};

class VZ_Wnd
{
public:
    VZ_Wnd();
    // Destroys the window when there is one (DestroyWindow works only on the
    // window's thread). It runs after the derived part is gone, so the
    // window's last messages reach VZ_Wnd::WindowProc only; a derived class
    // that wants them calls Destroy() in its own destructor.
    virtual ~VZ_Wnd();

    // Every message of the window from WM_CREATE on, on the window's thread.
    // The default passes it to DefWindowProcW(m_hWnd, ...).
    virtual LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam);

    // RegisterClassExW with the start procedure as the class's window
    // procedure and the arguments as the other fields.
    static void RegisterClass(LPCWSTR lpszClassName, HINSTANCE hInstance, UINT style,
                              int cbClsExtra, int cbWndExtra, HICON hIcon, HCURSOR hCursor,
                              HBRUSH hbrBackground, LPCWSTR lpszMenuName, HICON hIconSm);
    // UnregisterClassW.
    static void UnregisterClass(LPCWSTR lpszClassName, HINSTANCE hInstance);

    // Creates the window when there is none (CreateWindowExW with this object
    // as the creation parameter); an existing window is left unchanged. True
    // when the object has a window afterwards.
    bool Create(HINSTANCE hInstance, LPCWSTR lpszClassName, LPCWSTR lpszWindowName,
                DWORD dwStyle, int x, int y, int nWidth, int nHeight,
                HWND hWndParent, HMENU hMenu);
    // The same with an extended window style.
    bool CreateEx(HINSTANCE hInstance, DWORD dwExStyle, LPCWSTR lpszClassName,
                  LPCWSTR lpszWindowName, DWORD dwStyle, int x, int y, int nWidth,
                  int nHeight, HWND hWndParent, HMENU hMenu);
    // False when there is no window; otherwise DestroyWindow and true.
    bool Destroy();

    // The target of posted messages; NULL when there is no window.
    HWND GetHwnd() const { return m_hWnd; }

    // The parts of a thread that owns a hidden window named lpszName (the
    // class has the same name). CreateHidden registers the class and creates
    // the window; a failed creation is reported in a line and tried once
    // more (a loaded desktop may refuse the first). RunMessages dispatches
    // until WM_QUIT; DestroyHidden destroys the window, unregisters the class.
    bool CreateHidden(LPCWSTR lpszName, DWORD dwStyle);
    static void RunMessages();
    void DestroyHidden(LPCWSTR lpszName);

private:
    // The class's window procedure: binds the window to its object on WM_CREATE.
    static LRESULT CALLBACK StartWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // Where the thunk jumps to, with the object in place of the window handle.
    static LRESULT CALLBACK DispatchWindowProc(HWND hObject, UINT uMsg, WPARAM wParam, LPARAM lParam);

    VZ_WndProcThunk m_thunk;

protected:
    // NULL until a window exists, and again after its last message
    // (WM_NCDESTROY), however the window was destroyed.
    HWND m_hWnd;

private:
    VZ_Wnd(const VZ_Wnd&) = delete;
    VZ_Wnd& operator=(const VZ_Wnd&) = delete;
};
