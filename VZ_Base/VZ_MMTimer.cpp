#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include "VZ_MMTimer.h"

VZ_MMTimer::VZ_MMTimer(UINT uResolution)
    : m_uResolution(0), m_uTimerId(0)
{
    TIMECAPS tc;
    if (timeGetDevCaps(&tc, sizeof(tc)) != TIMERR_NOERROR)
        return;
    UINT uPeriod = uResolution;
    if (uPeriod < tc.wPeriodMin)
        uPeriod = tc.wPeriodMin;
    if (uPeriod > tc.wPeriodMax)
        uPeriod = tc.wPeriodMax;
    // Remember the period only when it was really begun, so that the
    // destructor never ends a period it does not own.
    if (timeBeginPeriod(uPeriod) == TIMERR_NOERROR)
        m_uResolution = uPeriod;
}

VZ_MMTimer::~VZ_MMTimer()
{
    Stop();
    if (m_uResolution != 0)
        timeEndPeriod(m_uResolution);
}

bool VZ_MMTimer::Start(UINT uDelay, bool bOneShot)
{
    if (m_uTimerId.load() != 0)
        return false;
    // TIME_KILL_SYNCHRONOUS: timeKillEvent waits for a callback in progress,
    // so that after Stop() no OnMMTimer() can touch an object being stopped or
    // destroyed.
    UINT uFlags = (bOneShot ? TIME_ONESHOT : TIME_PERIODIC) | TIME_KILL_SYNCHRONOUS;
    UINT uId = timeSetEvent(uDelay, m_uResolution, TimerProc,
                            reinterpret_cast<DWORD_PTR>(this), uFlags);
    if (uId == 0)
        return false;
    m_uTimerId.store(uId);
    return true;
}

bool VZ_MMTimer::Stop()
{
    UINT uId = m_uTimerId.load();
    if (uId == 0)
        return false;
    MMRESULT mr = timeKillEvent(uId);
    m_uTimerId.store(0);
    return mr == TIMERR_NOERROR;
}

void CALLBACK VZ_MMTimer::TimerProc(UINT /*uTimerId*/, UINT /*uMsg*/, DWORD_PTR dwUser,
                                    DWORD_PTR /*dw1*/, DWORD_PTR /*dw2*/)
{
    reinterpret_cast<VZ_MMTimer*>(dwUser)->OnMMTimer();
}
