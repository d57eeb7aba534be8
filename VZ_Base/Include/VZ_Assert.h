// Checks that stay active in every build.
//
// A failed check reports the condition text, the source module (file name
// without directory and extension) and the line, then execution continues on
// the normal path: callers never return early because of a report.
#pragma once

typedef void (*VZ_AssertHandler)(const char* lpszExpr, const char* lpszModule, int iLine);

// Installs a handler for failed checks (NULL restores the default report on
// standard error) and returns the previous one. Tests use it to capture reports.
VZ_AssertHandler VZ_SetAssertHandler(VZ_AssertHandler lpHandler);

// Reports one failed check; lpszFile may be a full path.
void VZ_AssertReport(const char* lpszExpr, const char* lpszFile, int iLine);

#define VZ_ASSERT(expr) ((expr) ? (void)0 : VZ_AssertReport(#expr, __FILE__, __LINE__))
