#include "app/Log.h"

#include <windows.h>

#include <cstdarg>

void LogMessage(const char* format, ...) {
    // wvsprintfA writes at most 1024 characters, terminator included.
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    wvsprintfA(line, format, arguments);
    va_end(arguments);
    OutputDebugStringA(line);
    OutputDebugStringA("\r\n");
}

void TraceMessage(const char* format, ...) { (void)format; }
