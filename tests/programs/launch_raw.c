/* Test program: starts a program with an exact command line, which a Unix shell and
 * wine64's own quoting cannot express (a trailing blank, say).
 *
 *   launch_raw.exe PROGRAM          (the tail comes from TAVRIX_RAW_TAIL)
 *
 * The child sees the command line "\"PROGRAM\" <tail>" exactly; waits for it and
 * exits with its exit code (255 when it cannot be started). */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc < 2) return 255;
    char tail[1024] = "";
    GetEnvironmentVariableA("TAVRIX_RAW_TAIL", tail, sizeof(tail));
    char commandLine[2048];
    if (snprintf(commandLine, sizeof(commandLine), "\"%s\" %s", argv[1], tail) >= (int)sizeof(commandLine)) return 255;
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    if (!CreateProcessA(argv[1], commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 255;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}
