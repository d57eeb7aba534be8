// Collects the failed checks that a test expects, for the life of a scope:
// the process's handler is restored by the destructor, so a fatal assertion
// that leaves the scope early can never leave the capture installed.
// Reports may come from any thread; only one capture is active at a time.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "VZ_Assert.h"

class CheckCapture {
public:
    CheckCapture() : m_lpOld(VZ_SetAssertHandler(Report)) { Clear(); }
    ~CheckCapture() { VZ_SetAssertHandler(m_lpOld); }
    CheckCapture(const CheckCapture&) = delete;
    CheckCapture& operator=(const CheckCapture&) = delete;

    // Each report as "condition|module|line".
    std::vector<std::string> Lines() const
    {
        std::lock_guard<std::mutex> lock(s_lock);
        return s_vecReports;
    }
    size_t Count() const { return Lines().size(); }
    // The conditions in order, each ended by ';'; with bModule each as
    // "module: condition". A condition may hold '|' itself ("a || b").
    std::string Conditions(bool bModule = false) const
    {
        std::string str;
        for (const std::string& strLine : Lines())
        {
            size_t uiLine = strLine.rfind('|'), uiModule = strLine.rfind('|', uiLine - 1);
            if (bModule)
                str += strLine.substr(uiModule + 1, uiLine - uiModule - 1) + ": ";
            str += strLine.substr(0, uiModule) + ";";
        }
        return str;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(s_lock);
        s_vecReports.clear();
    }

private:
    static void Report(const char* lpszExpr, const char* lpszModule, int iLine)
    {
        std::lock_guard<std::mutex> lock(s_lock);
        s_vecReports.push_back(std::string(lpszExpr) + "|" + lpszModule + "|" + std::to_string(iLine));
    }

    static inline std::mutex s_lock;
    static inline std::vector<std::string> s_vecReports;
    VZ_AssertHandler m_lpOld;
};
