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
    CheckCapture() : m_lpOld(VZ_SetAssertHandler(Report)) { Reports().clear(); }
    ~CheckCapture() { VZ_SetAssertHandler(m_lpOld); }
    CheckCapture(const CheckCapture&) = delete;
    CheckCapture& operator=(const CheckCapture&) = delete;

    // Each report as "condition|module|line".
    std::vector<std::string> Lines() const
    {
        std::lock_guard<std::mutex> lock(Lock());
        return Reports();
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
        std::lock_guard<std::mutex> lock(Lock());
        Reports().clear();
    }

private:
    static std::mutex& Lock()
    {
        static std::mutex s_lock;
        return s_lock;
    }
    static std::vector<std::string>& Reports()
    {
        static std::vector<std::string> s_vec;
        return s_vec;
    }
    static void Report(const char* lpszExpr, const char* lpszModule, int iLine)
    {
        std::lock_guard<std::mutex> lock(Lock());
        Reports().push_back(std::string(lpszExpr) + "|" + lpszModule + "|" + std::to_string(iLine));
    }

    VZ_AssertHandler m_lpOld;
};
