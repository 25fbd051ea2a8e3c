/* Test program installed in place of a follow-up copy: appends "<its own path>|<first
 * argument>|show=<show command>" to the file named by TAVRIX_PROBE_LOG, then runs until the
 * event "TavrixProbeRelease" is set (at most 60 s), so a test can see a copy still running. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
    char logPath[MAX_PATH], self[MAX_PATH];
    if (GetEnvironmentVariableA("TAVRIX_PROBE_LOG", logPath, MAX_PATH) == 0) return 2;
    GetModuleFileNameA(NULL, self, MAX_PATH);
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    FILE* file = fopen(logPath, "a");
    if (file == NULL) return 3;
    fprintf(file, "%s|%s|show=%d\n", self, argc > 1 ? argv[1] : "",
            (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1);
    fclose(file);
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, "TavrixProbeRelease");
    WaitForSingleObject(release, 60000);
    CloseHandle(release);
    return 0;
}
