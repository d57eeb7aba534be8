// The soak's driving thread: one round of work on fresh managers, the
// process's handle count, and the watchdog that ends a hung run.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

namespace soak {

struct Options {
    std::string strEngine;
    double dSeconds = 10.0;
    int iConns = 1000;
    unsigned long long ullSeed = 1;
    bool bSim = false;
};

// A 2.0 name: two containers over one engine.
bool IsContainerName(const std::string& str);

struct RoundResult {
    bool bSetUp = false;
    int iPoolOut = 0;      // right after Uninitialize
    int iPoolOutLater = 0; // one second later (tells a late return from a leak)
    double dSeconds = 0;
};

// One round: managers made and started, the listener, dSeconds of work with
// up to iConns clients, everything closed, managers stopped and destroyed.
RoundResult RunRound(const Options& opt, double dSeconds, int iConns);

DWORD ProcessHandles();
// The handle count once a round's engine threads have given theirs back.
DWORD SettledHandles();

// The watchdog thread: a round that does not end within a minute of its
// planned length is reported and the process ended (exit code 4).
HANDLE StartWatchdog();
void StopWatchdog(HANDLE hWatchdog);

} // namespace soak
