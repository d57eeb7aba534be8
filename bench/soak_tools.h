// Small tools of the soak: locks without kernel handles (the process's
// handle count is checked), what each thread is doing (for the report of a
// hung run), a random generator.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

namespace soak {

// Slim reader/writer lock used exclusively; never makes a handle.
class Lock {
public:
    void Acquire() { AcquireSRWLockExclusive(&m_srw); }
    void Release() { ReleaseSRWLockExclusive(&m_srw); }

private:
    SRWLOCK m_srw = SRWLOCK_INIT;
};

// Where a thread is: the engine call it makes or the event it handles, and
// the owner of a socket lock it waits for.
struct Where {
    std::atomic<DWORD> dwThread{0};
    std::atomic<const char*> lpszWhat{NULL};
    std::atomic<DWORD> dwWaitsFor{0};
};

// This thread's record, or NULL once every record is taken.
Where* MyWhere();
// Writes every thread that is doing something or waiting to standard error.
void ReportWhere();

// Marks what this thread does for the scope of the object.
class Doing {
public:
    explicit Doing(const char* lpszWhat);
    ~Doing();
    Doing(const Doing&) = delete;
    Doing& operator=(const Doing&) = delete;

private:
    Where* m_lpWhere;
    const char* m_lpszOld;
};

// The same lock, re-entrant: the select engine raises OnTcpRecv inside Recv,
// so a thread holding a socket's lock may enter that socket's event again.
class RecursiveLock {
public:
    void Acquire();
    void Release();

private:
    SRWLOCK m_srw = SRWLOCK_INIT;
    std::atomic<DWORD> m_dwOwner{0};
    int m_iDepth = 0;
};

template <class L> class Hold {
public:
    explicit Hold(L& lock) : m_lock(lock) { m_lock.Acquire(); }
    ~Hold() { m_lock.Release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    L& m_lock;
};

// The 64-bit finaliser shared by the generator and the byte pattern.
inline unsigned long long Mix64(unsigned long long z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class Rng {
public:
    explicit Rng(unsigned long long ullSeed = 1) : m_ull(ullSeed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    unsigned long long Next() { return Mix64(m_ull += 0x9E3779B97F4A7C15ull); }
    // 0 .. n-1 (n > 0)
    UINT Below(UINT n) { return static_cast<UINT>(Next() % n); }
    bool Percent(UINT uiPercent) { return Below(100) < uiPercent; }
    // 1 .. 2^iMaxBits, spread evenly over the powers of two.
    UINT LogSize(int iMaxBits) { return 1 + Below(1u << Below(static_cast<UINT>(iMaxBits) + 1)); }

private:
    unsigned long long m_ull;
};

} // namespace soak
