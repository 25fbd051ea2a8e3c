/* Test program installed in place of a follow-up copy: appends its command line and
 * show state to the file named by TAVRIX_PROBE_LOG, then waits until the event named
 * "TavrixProbeRelease" is set (or 60 s pass), so a test can see a copy still running. */
#include <windows.h>
#include <stdio.h>

int main(void) {
    char logPath[MAX_PATH];
    if (GetEnvironmentVariableA("TAVRIX_PROBE_LOG", logPath, MAX_PATH) == 0) return 2;
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    FILE* file = fopen(logPath, "a");
    if (file == NULL) return 3;
    const char* commandLine = GetCommandLineA();
    fprintf(file, "%s|show=%d|flags=%lu\n", commandLine, (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1,
            startup.dwFlags);
    fclose(file);
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, "TavrixProbeRelease");
    WaitForSingleObject(release, 60000);
    CloseHandle(release);
    return 0;
}
