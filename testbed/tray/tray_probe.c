/* Test program for the tray's end-to-end tests, run in the same Wine desktop as the tray.
 *
 *   tray_probe.exe --menu LAYOUTFILE X Y
 *       Shows a popup menu built from LAYOUTFILE at (X, Y), the way the tray builds its menu,
 *       so that a screenshot of it can be compared with the tray's. Ends when the menu closes.
 *       LAYOUTFILE lines: "T|state|text" a string item, "S" a separator, "M|text" a submenu
 *       item whose items follow on lines starting with ">".
 *   tray_probe.exe --messagebox TEXTFILE CAPTION
 *       Shows MessageBoxA(hidden window, text, caption, MB_OK | MB_ICONINFORMATION), brought
 *       forward (MB_SETFOREGROUND) so that its caption is drawn active like the program's.
 *   tray_probe.exe --icons EXEFILE
 *       Shows a window at (0, 0) with the icon groups 100, 101 and 102 of EXEFILE drawn at
 *       16, 24, 32 and 48 pixels (rows: groups; columns: sizes; 64-pixel cells). Ends on WM_CLOSE.
 *   tray_probe.exe --record-url ARG...
 *       Appends its arguments, one line, to "opened.txt" beside itself: a stand-in browser.
 *   tray_probe.exe --foreground SECONDS OUTFILE
 *       Shows a small window of its own, brings it forward, then writes to OUTFILE the class
 *       name of the foreground window whenever it changes, for SECONDS seconds.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static HWND CreateHiddenWindow(const char* className, WNDPROC proc) {
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(INT_PTR)COLOR_WINDOW;
    windowClass.lpszClassName = className;
    RegisterClassExA(&windowClass);
    return CreateWindowExA(0, className, className, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, NULL, NULL, windowClass.hInstance, NULL);
}

static char* ReadWholeFile(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return NULL;
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    fseek(file, 0, SEEK_SET);
    char* text = (char*)calloc((size_t)size + 1, 1);
    if (text != NULL && fread(text, 1, (size_t)size, file) != (size_t)size) text[0] = '\0';
    fclose(file);
    return text;
}

static void AddItem(HMENU menu, const char* text, UINT state, HMENU subMenu, BOOL separator) {
    MENUITEMINFOA item;
    ZeroMemory(&item, sizeof(item));
    item.cbSize = sizeof(item);
    item.fMask = MIIM_TYPE;
    if (separator) {
        item.fType = MFT_SEPARATOR;
    } else {
        item.fType = MFT_STRING;
        item.dwTypeData = (char*)text;
        item.cch = (UINT)strlen(text);
        if (state != 0) {
            item.fMask |= MIIM_STATE;
            item.fState = state;
        }
        if (subMenu != NULL) {
            item.fMask |= MIIM_SUBMENU;
            item.hSubMenu = subMenu;
        }
    }
    InsertMenuItemA(menu, (UINT)GetMenuItemCount(menu) + 1, TRUE, &item);
}

/* One line of the layout into `menu`; submenu lines (">") go to `current`. */
static void AddLayoutLine(HMENU menu, HMENU* current, char* line) {
    HMENU target = menu;
    if (line[0] == '>') {
        target = *current;
        ++line;
        if (target == NULL) return;
    } else {
        *current = NULL;
    }
    if (line[0] == 'S') {
        AddItem(target, "", 0, NULL, TRUE);
    } else if (line[0] == 'T' && line[1] == '|') {
        char* text = strchr(line + 2, '|');
        if (text == NULL) return;
        *text++ = '\0';
        AddItem(target, text, (UINT)strtoul(line + 2, NULL, 0), NULL, FALSE);
    } else if (line[0] == 'M' && line[1] == '|' && target == menu) {
        *current = CreatePopupMenu();
        AddItem(menu, line + 2, 0, *current, FALSE);
    }
}

static int ShowMenu(const char* layoutPath, int x, int y) {
    char* layout = ReadWholeFile(layoutPath);
    if (layout == NULL) return 2;
    HMENU menu = CreatePopupMenu();
    HMENU current = NULL;
    char* context = NULL;
    for (char* line = strtok_s(layout, "\r\n", &context); line != NULL; line = strtok_s(NULL, "\r\n", &context))
        AddLayoutLine(menu, &current, line);
    HWND window = CreateHiddenWindow("TavrixTestMenuOwner", PlainProc);
    SetForegroundWindow(window);
    printf("menu\n");
    fflush(stdout);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, x, y, 0, window, NULL);
    DestroyMenu(menu);
    free(layout);
    return 0;
}

static int ShowMessage(const char* textPath, const char* caption) {
    char* text = ReadWholeFile(textPath);
    if (text == NULL) return 2;
    HWND window = CreateHiddenWindow("TavrixTestBoxOwner", PlainProc);
    MessageBoxA(window, text, caption, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
    free(text);
    return 0;
}

static HMODULE iconModule;

static LRESULT CALLBACK IconsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        static const int groups[] = {100, 101, 102};
        static const int sizes[] = {16, 24, 32, 48};
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 4; ++column) {
                HICON icon = (HICON)LoadImageA(iconModule, MAKEINTRESOURCEA(groups[row]), IMAGE_ICON, sizes[column],
                                               sizes[column], 0);
                if (icon == NULL) continue;
                DrawIconEx(dc, column * 64 + 8, row * 64 + 8, icon, sizes[column], sizes[column], 0, NULL, DI_NORMAL);
                DestroyIcon(icon);
            }
        }
        EndPaint(window, &paint);
        return 0;
    }
    return PlainProc(window, message, wParam, lParam);
}

static int ShowIcons(const char* exePath) {
    iconModule = LoadLibraryExA(exePath, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (iconModule == NULL) return 2;
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = IconsProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    windowClass.lpszClassName = "TavrixTestIcons";
    RegisterClassExA(&windowClass);
    HWND window = CreateWindowExA(0, "TavrixTestIcons", "icons", WS_POPUP | WS_VISIBLE, 0, 0, 4 * 64, 3 * 64, NULL,
                                  NULL, windowClass.hInstance, NULL);
    UpdateWindow(window);
    printf("icons\n");
    fflush(stdout);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

static int RecordUrl(int argc, char** argv) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 2;
    char* slash = strrchr(path, '\\');
    if (slash == NULL) return 2;
    strcpy_s(slash + 1, (size_t)(path + MAX_PATH - slash - 1), "opened.txt");
    FILE* file = fopen(path, "ab");
    if (file == NULL) return 2;
    for (int i = 2; i < argc; ++i) fprintf(file, "%s%s", i > 2 ? " " : "", argv[i]);
    fprintf(file, "\n");
    fclose(file);
    return 0;
}

static int WatchForeground(int seconds, const char* outPath) {
    FILE* out = fopen(outPath, "wb");
    if (out == NULL) return 2;
    HWND own = CreateHiddenWindow("TavrixTestForeground", PlainProc);
    ShowWindow(own, SW_SHOWNORMAL);
    SetForegroundWindow(own);
    char last[256] = "";
    DWORD end = GetTickCount() + (DWORD)seconds * 1000u;
    while ((LONG)(end - GetTickCount()) > 0) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        char name[256] = "";
        HWND foreground = GetForegroundWindow();
        if (foreground != NULL) GetClassNameA(foreground, name, sizeof(name));
        if (strcmp(name, last) != 0) {
            fprintf(out, "foreground %s\n", name[0] ? name : "(none)");
            fflush(out);
            strcpy_s(last, sizeof(last), name);
        }
        Sleep(50);
    }
    fclose(out);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 5 && strcmp(argv[1], "--menu") == 0) return ShowMenu(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc >= 4 && strcmp(argv[1], "--messagebox") == 0) return ShowMessage(argv[2], argv[3]);
    if (argc >= 3 && strcmp(argv[1], "--icons") == 0) return ShowIcons(argv[2]);
    if (argc >= 2 && strcmp(argv[1], "--record-url") == 0) return RecordUrl(argc, argv);
    if (argc >= 4 && strcmp(argv[1], "--foreground") == 0) return WatchForeground(atoi(argv[2]), argv[3]);
    fprintf(stderr, "usage: see the head of tray_probe.c\n");
    return 2;
}
