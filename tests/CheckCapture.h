// Collects the failed checks that a test expects, for the life of a scope:
// the process's handler is restored by the destructor, so a fatal assertion
// that leaves the scope early can never leave the capture installed.
// Reports may come from any thread; only one capture is active at a time.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "VZ_Assert.h"

class CheckCapture {
public:
    CheckCapture() : m_lpOld(VZ_SetAssertHandler(Report)) { Clear(); }
    ~CheckCapture() { VZ_SetAssertHandler(m_lpOld); }
    CheckCapture(const CheckCapture&) = delete;
    CheckCapture& operator=(const CheckCapture&) = delete;

    size_t Count() const { return Copy().size(); }
    // The conditions in order, each ended by ';'; with bModule each as "module: condition".
    std::string Conditions(bool bModule = false) const
    {
        std::string str;
        for (const Entry& r : Copy())
            str += (bModule ? r.first + ": " : "") + r.second + ";";
        return str;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(Lock());
        List().clear();
    }

private:
    typedef std::pair<std::string, std::string> Entry; // module, condition
    static std::mutex& Lock()
    {
        static std::mutex s_lock;
        return s_lock;
    }
    static std::vector<Entry>& List()
    {
        static std::vector<Entry> s_vec;
        return s_vec;
    }
    static std::vector<Entry> Copy()
    {
        std::lock_guard<std::mutex> lock(Lock());
        return List();
    }
    static void Report(const char* lpszExpr, const char* lpszModule, int)
    {
        std::lock_guard<std::mutex> lock(Lock());
        List().push_back({lpszModule, lpszExpr});
    }

    VZ_AssertHandler m_lpOld;
};
