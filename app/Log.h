// The diagnostic log (debugger output) and the silent trace.
#pragma once

// One line to OutputDebugStringA, formatted with wvsprintfA into 1024 characters,
// followed by "\r\n".
void LogMessage(const char* format, ...);

// Verbose trace: same arguments as LogMessage; emits nothing.
void TraceMessage(const char* format, ...);
