// The tray's object, window, notification icon and refresh thread.
#include "tray/TrayIcon.h"

#include <strsafe.h>

#include "app/Log.h"
#include "app/Notify.h"
#include "app/Paths.h"
#include "app/Privileges.h"
#include "app/TextLookup.h"
#include "devices/Devices.h"
#include "res/resource.h"
#include "tray/TrayNames.h"

namespace {

constexpr DWORD kRefreshPeriodMs = 10000;
constexpr size_t kTipChars = 128;

DWORD SystemMajorVersion() {
    DWORD major = 0;
    DWORD minor = 0;
    return GetSystemVersion(major, minor) ? major : 0;
}

// Lets the shell's restart message through to an elevated tray. The per-window filter is
// Windows 7's; Vista has only the process-wide one, so the newer call is looked up, or the
// program would not load there.
void AllowMessageFromShell(HWND window, UINT message) {
    using WindowFilterFunction = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    constexpr DWORD kAllow = 1;  // MSGFLT_ALLOW
    HMODULE user = GetModuleHandleA("user32.dll");
    FARPROC address = user != nullptr ? GetProcAddress(user, "ChangeWindowMessageFilterEx") : nullptr;
    if (address != nullptr) {
        reinterpret_cast<WindowFilterFunction>(reinterpret_cast<void (*)()>(address))(window, message, kAllow, nullptr);
    } else {
        ChangeWindowMessageFilter(message, MSGFLT_ADD);
    }
}

}  // namespace

HICON LoadNotifyIcon(HINSTANCE instance, bool ready) {
    int resource = ready ? IDI_TUNER_READY : IDI_TUNER_NOT_READY;
    return static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(resource), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
}

const char* TrayClassName() { return IsExe64Bit() ? "TavrixInstallClass64" : "TavrixInstallClass32"; }
const char* TrayCallbackMessageName() { return IsExe64Bit() ? "TavrixInstallMessage64" : "TavrixInstallMessage32"; }
const char* TrayTitle() { return IsExe64Bit() ? "Zentrova (64 Bit)" : "Zentrova (32 Bit)"; }

CTrayIcon* CTrayIcon::StartThread(HINSTANCE instance, CDevices* devices) {
    instance_ = instance;
    devices_ = devices;
    callbackMessage_ = RegisterWindowMessageA(TrayCallbackMessageName());
    taskbarCreatedMessage_ = RegisterWindowMessageA("TaskbarCreated");
    refreshRunning_ = false;
    __RegisterWindowClass();
    __CreateWindow();
    GetUserLanguage(language_, sizeof(language_));
    GetIniFilePath(iniPath_);
    // The stored list, so that the menu lists the known boxes before the first search ends.
    devices_->UpdateDevices(false);
    __AddIcon();
    UpdateWindow(window_);
    TraceMessage("CTrayIcon::StartThread");
    __StartRefreshThread();
    SetEvent(wakeEvent_.Get());
    return this;
}

void CTrayIcon::__RegisterWindowClass() {
    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &CTrayIcon::__WndProc;
    windowClass.cbWndExtra = sizeof(CTrayIcon);
    windowClass.hInstance = instance_;
    windowClass.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_TUNER));
    windowClass.hIconSm = LoadIconA(instance_, MAKEINTRESOURCEA(IDI_TUNER));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW));
    windowClass.lpszClassName = TrayClassName();
    RegisterClassExA(&windowClass);
}

void CTrayIcon::__CreateWindow() {
    window_ = CreateWindowExA(0, TrayClassName(), TrayTitle(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, nullptr);
    if (window_ == nullptr) return;
    SetWindowLongPtrA(window_, 0, reinterpret_cast<LONG_PTR>(this));
    // An elevated tray would otherwise never hear that the shell restarted.
    AllowMessageFromShell(window_, taskbarCreatedMessage_);
}

CTrayIcon::~CTrayIcon() {
    if (window_ != nullptr) SetWindowLongPtrA(window_, 0, 0);
    StopThread();
    __RemoveIcon();
    if (window_ != nullptr) DestroyWindow(window_);
}

void CTrayIcon::__AddIcon() {
    std::lock_guard<std::mutex> hold(notifyMutex_);
    DWORD size = SystemMajorVersion() < 6 ? NOTIFYICONDATAA_V3_SIZE : sizeof(NOTIFYICONDATAA);
    ZeroMemory(&notifyData_, size);
    iconReady_ = false;
    notifyData_.cbSize = size;
    notifyData_.hWnd = window_;
    notifyData_.uID = 1;
    notifyData_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    notifyData_.uCallbackMessage = callbackMessage_;
    __SetIconPicture(false);
    StringCchCopyA(notifyData_.szTip, kTipChars, TrayTitle());
    Shell_NotifyIconA(NIM_ADD, &notifyData_);
    iconShown_ = true;
}

// Only while the icon is meant to be shown: after Exit a restarted shell gets nothing back.
void CTrayIcon::__RemoveIcon() {
    std::lock_guard<std::mutex> hold(notifyMutex_);
    if (!iconShown_) return;
    iconShown_ = false;
    Shell_NotifyIconA(NIM_DELETE, &notifyData_);
}

// The shell keeps its own copy of every picture it is handed, so ours goes when the next one comes.
void CTrayIcon::__SetIconPicture(bool ready) {
    notifyPicture_.Reset(LoadNotifyIcon(instance_, ready));
    notifyData_.hIcon = notifyPicture_.Get();
}

// A restarted shell has forgotten every icon: add ours again with the picture it had.
void CTrayIcon::__OnTaskbarCreated() {
    std::lock_guard<std::mutex> hold(notifyMutex_);
    if (!iconShown_) return;
    notifyData_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    __SetIconPicture(iconReady_);
    Shell_NotifyIconA(NIM_ADD, &notifyData_);
}

void CTrayIcon::__StartRefreshThread() {
    wakeEvent_.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    threadId_ = 0;
    running_ = true;
    thread_.Reset(CreateThread(nullptr, 0, &CTrayIcon::__ThreadProc, this, 0, &threadId_));
}

void CTrayIcon::StopThread() {
    TraceMessage("CTrayIcon::StopThread");
    running_ = false;
    SetEvent(wakeEvent_.Get());
    if (thread_.IsValid()) WaitForSingleObject(thread_.Get(), INFINITE);
    thread_.Reset();
}

void CTrayIcon::UpdateIcon(bool ready) {
    TraceMessage("%s: %d", "CTrayIcon::UpdateIcon", ready ? 1 : 0);
    std::lock_guard<std::mutex> hold(notifyMutex_);
    iconReady_ = ready;
    notifyData_.uFlags = NIF_ICON;
    __SetIconPicture(ready);
    Shell_NotifyIconA(NIM_MODIFY, &notifyData_);
}

LRESULT CALLBACK CTrayIcon::__WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CTrayIcon* tray = reinterpret_cast<CTrayIcon*>(GetWindowLongPtrA(window, 0));
    if (tray == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    return tray->__OnMessage(window, message, wParam, lParam);
}

LRESULT CTrayIcon::__OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    UINT instanceMessage = InstanceMessage();
    if (instanceMessage != 0 && message == instanceMessage) {
        SetForegroundWindow(window);
        return 0;
    }
    if (message == callbackMessage_) return __OnTrayMessage(window, wParam, lParam);
    if (message == WM_DESTROY) {
        __OnDestroy();
        return 0;
    }
    if (message == WM_COMMAND) return __OnCommand(window, wParam);
    if (taskbarCreatedMessage_ != 0 && message == taskbarCreatedMessage_) {
        __OnTaskbarCreated();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void CTrayIcon::__OnDestroy() {
    TraceMessage("CTrayIcon::__OnDestroy");
    StopThread();
    __RemoveIcon();
    PostQuitMessage(0);
}

DWORD WINAPI CTrayIcon::__ThreadProc(LPVOID parameter) {
    TraceMessage("CTrayIcon::__ThreadProc");
    static_cast<CTrayIcon*>(parameter)->__RefreshLoop();
    return 0;
}

void CTrayIcon::__RefreshLoop() {
    // The install a cycle may run registers filters through COM.
    CComInitialization com;
    while (running_) {
        WaitForSingleObject(wakeEvent_.Get(), kRefreshPeriodMs);
        if (!running_) break;
        __RefreshCycle();
    }
}

// One cycle: search, install on a change, switch the icon. Each step ends early when
// Exit was chosen meanwhile, so that no install starts after it.
void CTrayIcon::__RefreshCycle() {
    refreshRunning_ = true;
    DWORD changes = devices_->UpdateDevices(true);
    refreshRunning_ = false;
    if (!running_) return;
    if ((changes & ModifiedNeedsInstall) != 0) {
        bool admin = IsAdmin();
        if (admin && devices_->Install()) NotifyDeviceChange();
        StartFollowUp(admin, "-i");
        if (!running_) return;
    }
    bool ready = devices_->HasPresentTuner();
    if (ready != iconReady_) UpdateIcon(ready);
}

void CTrayIcon::__Lookup(const char* key, char* text) { LookupText(language_, iniPath_, key, text, kTextChars); }
