// The one way the library writes its diagnostic lines: standard output,
// flushed at once, so a line is not lost in a pipe's buffer when the host
// process ends abruptly. The texts are the callers'.
#pragma once

void VZ_Trace(const char* lpszFormat, ...);
