// A multimedia timer: a periodic or one-shot callback on the platform's timer
// thread, with the system timer resolution raised for the object's lifetime.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

class VZ_MMTimer
{
public:
    // Begins a timer period of uResolution ms, clamped to the device's range.
    explicit VZ_MMTimer(UINT uResolution);
    virtual ~VZ_MMTimer();

    // False when a timer already runs or the platform refuses a new one.
    bool Start(UINT uDelay, bool bOneShot);
    // False when no timer runs; when it returns, no callback is in progress.
    bool Stop();

protected:
    // Called on the platform's timer thread at every expiry.
    virtual void OnMMTimer() = 0;

    bool IsTimerRunning() const { return m_uTimerId.load() != 0; }

private:
    static void CALLBACK TimerProc(UINT uTimerId, UINT uMsg, DWORD_PTR dwUser,
                                   DWORD_PTR dw1, DWORD_PTR dw2);

    UINT m_uResolution;            // 0 when no period was begun
    std::atomic<UINT> m_uTimerId;  // 0 when no timer runs; read by other threads

    VZ_MMTimer(const VZ_MMTimer&) = delete;
    VZ_MMTimer& operator=(const VZ_MMTimer&) = delete;
};
