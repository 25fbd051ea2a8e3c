/* Test program: a top-level window of another process that reports what the
 * program under test broadcasts.
 *
 *   window_listener.exe [--hold-instance] [--own-mutex NAME] [--seconds N]
 *
 * Prints "ready" once its window exists, then one line per message seen:
 *   "instance-message"            the registered "544D3FE2-..." message
 *   "devicechange <wParam> <lParam>"  WM_DEVICECHANGE
 * --hold-instance also creates the program's single-instance mutex, like a running tray;
 * --own-mutex creates and owns the mutex NAME, as a squatter of a lock would.
 * Ends after N seconds (default 30) or on WM_CLOSE; exit code 0. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char kInstanceName[] = "544D3FE2-1218-4c6f-B848-91708E569673";
static UINT instanceMessage;

static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == instanceMessage) {
        printf("instance-message\n");
        fflush(stdout);
        return 0;
    }
    if (message == WM_DEVICECHANGE) {
        printf("devicechange %lu %lu\n", (unsigned long)wParam, (unsigned long)lParam);
        fflush(stdout);
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(int argc, char** argv) {
    int seconds = 30;
    int holdInstance = 0;
    const char* owned = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--hold-instance") == 0) holdInstance = 1;
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = atoi(argv[++i]);
        if (strcmp(argv[i], "--own-mutex") == 0 && i + 1 < argc) owned = argv[++i];
    }
    HANDLE mutex = holdInstance ? CreateMutexA(NULL, FALSE, kInstanceName) : NULL;
    HANDLE squatted = owned ? CreateMutexA(NULL, TRUE, owned) : NULL;
    instanceMessage = RegisterWindowMessageA(kInstanceName);
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "TavrixTestListener";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("TavrixTestListener", "listener", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, NULL, NULL,
                                windowClass.hInstance, NULL);
    if (window == NULL) {
        printf("no-window %lu\n", GetLastError());
        return 1;
    }
    SetTimer(window, 1, (UINT)seconds * 1000u, NULL);
    printf("ready\n");
    fflush(stdout);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (message.message == WM_TIMER) break;
        DispatchMessageA(&message);
    }
    if (mutex) CloseHandle(mutex);
    if (squatted) CloseHandle(squatted);
    return 0;
}
