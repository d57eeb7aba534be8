#include "VZ_Trace.h"

#include <stdarg.h>
#include <stdio.h>

void VZ_Trace(const char* lpszFormat, ...)
{
    va_list args;
    va_start(args, lpszFormat);
    vprintf(lpszFormat, args);
    va_end(args);
    fflush(stdout);
}
