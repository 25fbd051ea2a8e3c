/* Reads the tray's windows in a Wine desktop for the tray's end-to-end tests:
 * tray_probe DESKTOP COMMAND..., where COMMAND is one of
 *   tray_probe taskbar       "taskbar L T R B" and "button L T R B" for each of its buttons; the
 *                            notification icons are drawn in the rest of the taskbar
 *   tray_probe menus         "colors MENUTEXT GRAYTEXT", then "menu L T R B" for every open menu
 *   tray_probe measure FILE  opens a menu built from FILE (UTF-8 lines "T|state|text", "M|state|text"
 *                            with a submenu, "S" separator) and
 *                            prints "size W H LEFT TOP" and "row TOP BOTTOM" per item, within the menu
 *                            window, and keeps it open until FILE is deleted (for a screenshot)
 *   tray_probe about [INI]   waits for the tray's About box, prints its text (UTF-8) and closes it;
 *                            with INI, first "tabs SECTION APPLICATION DRIVER TAB" for every section
 *                            of INI: the widths of its words for "Application" and "Driver" and of
 *                            one tab, measured with GetTabbedTextExtent in the box's font
 *   tray_probe wait          prints "watching", broadcasts TaskbarCreated (a restarted shell)
 *                            until the tray ends, then prints "exit CODE icon 0|1 back 0|1":
 *                            whether the shell still holds the tray's icon, and whether it got
 *                            it back after it had been removed
 *   tray_probe quit          the same, after ending the tray's message loop from outside
 * and, without a desktop, tray_probe browser ARGS: a stand-in browser that appends ARGS to
 * opened.txt beside itself
 */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static void PrintRect(const char* what, HWND window) {
    RECT r;
    if (IsWindowVisible(window) && GetWindowRect(window, &r))
        printf("%s %ld %ld %ld %ld\n", what, r.left, r.top, r.right, r.bottom);
}

static int Taskbar(void) {
    HWND tray = FindWindowA("Shell_TrayWnd", NULL);
    if (tray == NULL) return 2;
    PrintRect("taskbar", tray);
    for (HWND child = GetWindow(tray, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) PrintRect("button", child);
    return 0;
}

static int Menus(void) {
    printf("colors %06lx %06lx\n", (unsigned long)GetSysColor(COLOR_MENUTEXT),
           (unsigned long)GetSysColor(COLOR_GRAYTEXT));
    for (HWND menu = FindWindowExA(NULL, NULL, "#32768", NULL); menu; menu = FindWindowExA(NULL, menu, "#32768", NULL))
        PrintRect("menu", menu);
    return 0;
}

static HMENU measured;
static const char* layoutPath;

static LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ENTERIDLE && wParam == MSGF_MENU && measured != NULL) {
        RECT frame, row;
        GetWindowRect((HWND)lParam, &frame);
        printf("size %ld %ld %ld %ld\n", frame.right - frame.left, frame.bottom - frame.top, frame.left, frame.top);
        for (int i = 0; i < GetMenuItemCount(measured); ++i) {
            GetMenuItemRect(NULL, measured, (UINT)i, &row);
            printf("row %ld %ld\n", row.top - frame.top, row.bottom - frame.top);
        }
        fflush(stdout);
        measured = NULL;
        SetTimer(window, 1, 50, NULL);
    }
    static int ticks;
    if (message == WM_TIMER && (GetFileAttributesA(layoutPath) == INVALID_FILE_ATTRIBUTES || ++ticks > 1200)) {
        KillTimer(window, 1);
        EndMenu();
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static int Measure(const char* path) {
    char line[256];
    WCHAR wide[256];  // the texts as written, whatever the code page
    FILE* file = fopen(path, "r");
    if (file == NULL) return 2;
    HMENU menu = CreatePopupMenu();
    while (fgets(line, sizeof(line), file) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        MENUITEMINFOW item;
        ZeroMemory(&item, sizeof(item));
        item.cbSize = sizeof(item);
        item.fMask = MIIM_TYPE;
        item.fType = MFT_SEPARATOR;
        char* text = strchr(line + 2, '|');
        if ((line[0] == 'T' || line[0] == 'M') && text != NULL) {
            item.fMask |= MIIM_STATE | (line[0] == 'M' ? MIIM_SUBMENU : 0);
            item.hSubMenu = line[0] == 'M' ? CreatePopupMenu() : NULL;
            item.fType = MFT_STRING;
            item.fState = (UINT)strtoul(line + 2, NULL, 0);
            MultiByteToWideChar(CP_UTF8, 0, text + 1, -1, wide, 256);
            item.dwTypeData = wide;
        }
        InsertMenuItemW(menu, (UINT)GetMenuItemCount(menu), TRUE, &item);
    }
    fclose(file);
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.lpfnWndProc = OwnerProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "TrayProbeOwner";
    RegisterClassA(&windowClass);
    HWND owner = CreateWindowA("TrayProbeOwner", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL, windowClass.hInstance, NULL);
    measured = menu;
    layoutPath = path;
    SetForegroundWindow(owner);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, 40, 40, 0, owner, NULL);  // away from the parked pointer
    DestroyMenu(menu);
    return 0;
}

// The shell still holds the tray's icon when it accepts a change to it.
static BOOL IconHeld(HWND tray) {
    NOTIFYICONDATAA data;
    ZeroMemory(&data, sizeof(data));
    data.cbSize = sizeof(data);
    data.hWnd = tray;
    data.uID = 1;
    return Shell_NotifyIconA(NIM_MODIFY, &data);
}

static int End(BOOL quit) {
    HWND tray = FindWindowA("TavrixInstallClass64", NULL);
    if (tray == NULL) tray = FindWindowA("TavrixInstallClass32", NULL);
    DWORD pid = 0;
    DWORD thread = tray ? GetWindowThreadProcessId(tray, &pid) : 0;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (thread == 0 || process == NULL) return 2;
    UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    printf("watching\n");
    fflush(stdout);
    if (quit) PostThreadMessageA(thread, WM_QUIT, 0, 0);
    BOOL gone = FALSE, back = FALSE;
    for (int i = 0; i < 12000 && WaitForSingleObject(process, 10) == WAIT_TIMEOUT; ++i) {
        PostMessageA(HWND_BROADCAST, taskbarCreated, 0, 0);
        BOOL held = IconHeld(tray);
        back = back || (gone && held);
        gone = gone || !held;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    printf("exit %lu icon %d back %d\n", code, IconHeld(tray), back);
    return 0;
}

// Wide calls: each language's own letters, whatever the probe's code page.
static int TabbedWidth(HDC dc, const WCHAR* text) {
    return LOWORD(GetTabbedTextExtentW(dc, text, (int)wcslen(text), 0, NULL));
}

// A message box draws in the system's message font; the box's own font handle belongs to the
// tray's process and cannot be selected here.
static int MeasureWords(HWND label, const char* ini) {
    WCHAR path[MAX_PATH], sections[4000], application[100], driver[100];
    NONCLIENTMETRICSW metrics = {.cbSize = sizeof(metrics)};
    HDC dc = GetDC(label);
    if (dc == NULL || MultiByteToWideChar(CP_ACP, 0, ini, -1, path, MAX_PATH) == 0 ||
        GetPrivateProfileSectionNamesW(sections, 4000, path) == 0 ||
        !SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return 2;
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    if (font == NULL || SelectObject(dc, font) == NULL) return 2;
    for (WCHAR* section = sections; *section; section += wcslen(section) + 1) {
        if (GetPrivateProfileStringW(section, L"Application", L"", application, 100, path) == 0 ||
            GetPrivateProfileStringW(section, L"Driver", L"", driver, 100, path) == 0) continue;
        printf("tabs %ls %d %d %d\n", section, TabbedWidth(dc, application), TabbedWidth(dc, driver),
               TabbedWidth(dc, L"\t"));
    }
    ReleaseDC(label, dc);
    DeleteObject(font);
    return 0;
}

static int About(const char* ini) {
    HWND box = NULL;
    for (int i = 0; i < 600 && (box = FindWindowA("#32770", "Zentrova (64 Bit)")) == NULL; ++i) Sleep(100);
    WCHAR wide[1000] = L"";
    char text[3000] = "";
    if (box == NULL || GetDlgItemTextW(box, 0xFFFF, wide, 1000) == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof(text), NULL, NULL) == 0) return 2;
    if (ini != NULL && MeasureWords(GetDlgItem(box, 0xFFFF), ini) != 0) return 2;
    printf("%s\n", text);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 600 && IsWindow(box); ++i) Sleep(100);
    return IsWindow(box) ? 2 : 0;
}

static int Browser(int argc, char** argv) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    char* slash = strrchr(path, '\\');
    if (length == 0 || length >= MAX_PATH || slash == NULL) return 2;
    strcpy_s(slash + 1, (size_t)(path + MAX_PATH - slash - 1), "opened.txt");
    FILE* file = fopen(path, "ab");
    if (file == NULL) return 2;
    for (int i = 2; i < argc; ++i) fprintf(file, "%s%s", i > 2 ? " " : "", argv[i]);
    fprintf(file, "\n");
    fclose(file);
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "browser") == 0) return Browser(argc, argv);
    // Every window call looks at the tray's desktop, wherever the probe was started.
    HDESK desktop = argc > 2 ? OpenDesktopA(argv[1], 0, FALSE, GENERIC_ALL) : NULL;
    if (desktop == NULL || !SetThreadDesktop(desktop)) return 3;
    --argc;
    ++argv;
    const char* command = argv[1];
    if (strcmp(command, "taskbar") == 0) return Taskbar();
    if (strcmp(command, "menus") == 0) return Menus();
    if (strcmp(command, "measure") == 0 && argc > 2) return Measure(argv[2]);
    if (strcmp(command, "about") == 0) return About(argc > 2 ? argv[2] : NULL);
    if (strcmp(command, "quit") == 0 || strcmp(command, "wait") == 0) return End(strcmp(command, "quit") == 0);
    fprintf(stderr, "usage: see the head of tray_probe.c\n");
    return 2;
}
