/* Stands in for a follow-up copy: runs until the event "TavrixProbeRelease" is set (60 s at most),
 * then ends with its option's letter plus 256 times the show command it was started with. */
#include <windows.h>

int main(int argc, char** argv) {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWNORMAL;
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, "TavrixProbeRelease");
    WaitForSingleObject(release, 60000);
    return argc == 2 ? argv[1][1] + 256 * show : 1;
}
