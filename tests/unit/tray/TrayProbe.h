// Test access to the tray: drives the private handlers, records what the tray asks of
// the shell (icon, popup menu, message box, URL) and stands in for the network search.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "app/Notify.h"
#include "app/Paths.h"
#include "app/Scoped.h"
#include "app/TestHooks.h"
#include "common/RegistryFixture.h"
#include "devices/Devices.h"
#include "store/Storage.h"
#include "tray/TrayHooks.h"
#include "tray/TrayIcon.h"

class CTrayIconProbe {
public:
    explicit CTrayIconProbe(CTrayIcon& tray) : tray_(tray) {}

    HWND Window() const { return tray_.window_; }
    UINT CallbackMessage() const { return tray_.callbackMessage_; }
    UINT TaskbarCreatedMessage() const { return tray_.taskbarCreatedMessage_; }
    bool Running() const { return tray_.running_; }
    bool RefreshRunning() const { return tray_.refreshRunning_; }
    bool IconReady() const { return tray_.iconReady_; }
    const NOTIFYICONDATAA& NotifyData() const { return tray_.notifyData_; }
    const char* Language() const { return tray_.language_; }
    const char* IniPath() const { return tray_.iniPath_; }
    void SetLanguage(const char* language) { strcpy_s(tray_.language_, sizeof(tray_.language_), language); }
    void SetDevices(CDevices* devices) { tray_.devices_ = devices; }
    void SetWindow(HWND window) { tray_.window_ = window; }
    void SetIniPath(const char* path) { strcpy_s(tray_.iniPath_, sizeof(tray_.iniPath_), path); }

    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
        return tray_.__OnMessage(tray_.window_, message, wParam, lParam);
    }
    LRESULT OnTrayMessage(LPARAM lParam) { return tray_.__OnTrayMessage(tray_.window_, 0, lParam); }
    LRESULT OnCommand(WPARAM wParam) { return tray_.__OnCommand(tray_.window_, wParam); }
    void OnDestroy() { tray_.__OnDestroy(); }
    void ShowAbout() { tray_.__ShowAbout(tray_.window_); }
    bool GetDriverVersion(char* text) { return tray_.__GetDriverVersion(text); }
    HMENU BuildMenu() { return tray_.__BuildMenu(); }

private:
    CTrayIcon& tray_;
};

// One menu row as GetMenuItemInfoA reports it, with its submenu's rows.
struct MenuRow {
    std::string text;
    UINT id = 0;
    UINT state = 0;
    UINT type = 0;
    bool hasSubMenu = false;
    std::vector<MenuRow> sub;
};

inline std::vector<MenuRow> ReadMenu(HMENU menu) {
    std::vector<MenuRow> rows;
    int count = GetMenuItemCount(menu);
    for (int position = 0; position < count; ++position) {
        char text[256] = {};
        MENUITEMINFOA item;
        ZeroMemory(&item, sizeof(item));
        item.cbSize = sizeof(item);
        item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = sizeof(text);
        MenuRow row;
        if (GetMenuItemInfoA(menu, static_cast<UINT>(position), TRUE, &item)) {
            row.text = (item.fType & MFT_SEPARATOR) ? "" : text;
            row.id = item.wID;
            row.state = item.fState;
            row.type = item.fType;
            row.hasSubMenu = item.hSubMenu != nullptr;
            if (item.hSubMenu != nullptr) row.sub = ReadMenu(item.hSubMenu);
        }
        rows.push_back(row);
    }
    return rows;
}

inline bool IsSeparator(const MenuRow& row) { return (row.type & MFT_SEPARATOR) != 0; }

// What the tray asked of the shell and the platform, recorded by the seams.
struct IconCall {
    DWORD message;
    NOTIFYICONDATAA data;
};

struct ShellRecord {
    std::mutex mutex;
    std::vector<IconCall> iconCalls;
    std::vector<std::vector<MenuRow>> menus;
    std::vector<std::string> aboutTexts;
    std::vector<std::string> aboutCaptions;
    std::vector<UINT> aboutTypes;
    std::vector<HWND> aboutOwners;
    std::vector<std::string> openedFiles;
    std::vector<std::string> openedVerbs;
    std::vector<INT> openedShows;
    std::vector<std::string> launchParameters;
    std::vector<std::string> launchVerbs;
    std::function<void()> duringMenu;  // runs while the menu is "shown"

    void Clear() {
        std::lock_guard<std::mutex> hold(mutex);
        iconCalls.clear();
        menus.clear();
        aboutTexts.clear();
        aboutCaptions.clear();
        aboutTypes.clear();
        aboutOwners.clear();
        openedFiles.clear();
        openedVerbs.clear();
        openedShows.clear();
        launchParameters.clear();
        launchVerbs.clear();
        duringMenu = nullptr;
    }
    std::vector<IconCall> IconCalls() {
        std::lock_guard<std::mutex> hold(mutex);
        return iconCalls;
    }
    std::vector<IconCall> IconCallsOf(DWORD message) {
        std::vector<IconCall> calls;
        for (const IconCall& call : IconCalls())
            if (call.message == message) calls.push_back(call);
        return calls;
    }
    size_t LaunchCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return launchParameters.size();
    }
};

inline ShellRecord& Recorded() {
    static ShellRecord record;
    return record;
}

inline BOOL WINAPI RecordNotifyIcon(DWORD message, NOTIFYICONDATAA* data) {
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    Recorded().iconCalls.push_back(IconCall{message, *data});
    return TRUE;
}

inline BOOL WINAPI RecordPopupMenu(HMENU menu, UINT, int, int, int, HWND, const RECT*) {
    std::vector<MenuRow> rows = ReadMenu(menu);
    std::function<void()> during;
    {
        std::lock_guard<std::mutex> hold(Recorded().mutex);
        Recorded().menus.push_back(rows);
        during = Recorded().duringMenu;
    }
    if (during) during();
    return TRUE;
}

inline int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    Recorded().aboutTexts.push_back(text);
    Recorded().aboutCaptions.push_back(caption);
    Recorded().aboutTypes.push_back(type);
    Recorded().aboutOwners.push_back(owner);
    return IDOK;
}

inline HINSTANCE WINAPI RecordShellExecute(HWND, LPCSTR verb, LPCSTR file, LPCSTR, LPCSTR, INT show) {
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    Recorded().openedVerbs.push_back(verb != nullptr ? verb : "");
    Recorded().openedFiles.push_back(file != nullptr ? file : "");
    Recorded().openedShows.push_back(show);
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(33));
}

// Follow-up copies are recorded, never started.
inline BOOL WINAPI RecordLaunch(SHELLEXECUTEINFOA* record) {
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    Recorded().launchParameters.push_back(record->lpParameters != nullptr ? record->lpParameters : "");
    Recorded().launchVerbs.push_back(record->lpVerb != nullptr ? record->lpVerb : "");
    record->hProcess = nullptr;
    return TRUE;
}

// Stands in for the network search of the refresh thread; the stored-list load at start
// goes to the real store.
struct FakeSearch {
    std::atomic<int> searches{0};
    std::atomic<int> storedLoads{0};
    std::atomic<DWORD> storedLoadThread{0};
    std::atomic<DWORD> searchThread{0};
    std::atomic<DWORD> mask{0};
    CScopedHandle entered{CreateEventA(nullptr, FALSE, FALSE, nullptr)};  // each search signals it
    CScopedHandle finished{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    CScopedHandle gate{CreateEventA(nullptr, TRUE, TRUE, nullptr)};  // searches wait for it
    std::mutex mutex;
    std::function<void(CDevices&)> change;  // applied to the list under Lock by each search

    void Reset() {
        searches = 0;
        storedLoads = 0;
        storedLoadThread = 0;
        searchThread = 0;
        mask = 0;
        ResetEvent(entered.Get());
        ResetEvent(finished.Get());
        SetEvent(gate.Get());
        std::lock_guard<std::mutex> hold(mutex);
        change = nullptr;
    }
    void Block() { ResetEvent(gate.Get()); }
    void Release() { SetEvent(gate.Get()); }
    void SetChange(std::function<void(CDevices&)> function) {
        std::lock_guard<std::mutex> hold(mutex);
        change = std::move(function);
    }
};

inline FakeSearch& Search() {
    static FakeSearch search;
    return search;
}

inline DWORD FakeRefreshDevices(CDevices& devices, bool detect) {
    FakeSearch& search = Search();
    if (!detect) {
        ++search.storedLoads;
        search.storedLoadThread = GetCurrentThreadId();
        return devices.UpdateDevices(false);
    }
    search.searchThread = GetCurrentThreadId();
    ++search.searches;
    SetEvent(search.entered.Get());
    WaitForSingleObject(search.gate.Get(), INFINITE);
    {
        std::function<void(CDevices&)> change;
        {
            std::lock_guard<std::mutex> hold(search.mutex);
            change = search.change;
        }
        if (change) {
            CCriticalSectionHold hold(devices.Lock);
            change(devices);
        }
    }
    SetEvent(search.finished.Get());
    return search.mask;
}

// Record builders.
inline TunerInfo MakeTuner(const char* deviceId, int index, const char* name, const char* owner, bool present,
                           const char* model = "qam256") {
    TunerInfo tuner;
    tuner.Index = index;
    sprintf_s(tuner.Id, sizeof(tuner.Id), "%s-%d", deviceId, index);
    strcpy_s(tuner.Model, sizeof(tuner.Model), model);
    strcpy_s(tuner.Name, sizeof(tuner.Name), name);
    strcpy_s(tuner.Owner, sizeof(tuner.Owner), owner);
    tuner.Modified = present ? ModifiedTunerPresent : 0;
    return tuner;
}

inline DeviceInfo MakeDevice(const char* id, const char* ip, const char* name, bool present) {
    DeviceInfo device;
    strcpy_s(device.Id, sizeof(device.Id), id);
    strcpy_s(device.Ip, sizeof(device.Ip), ip);
    strcpy_s(device.Name, sizeof(device.Name), name);
    device.Modified = present ? ModifiedDevicePresent : 0;
    return device;
}

// The configuration file the program reads (in the 32-bit copy's home).
inline std::string IniFilePath() {
    char path[kPathChars] = {};
    GetIniFilePath(path);
    return path;
}

inline void WriteIni(const std::string& text) {
    std::string path = IniFilePath();
    char folder[kPathChars] = {};
    GetHome32Folder(folder, kPathChars);
    CreateDirectoryA(folder, nullptr);
    FILE* file = nullptr;
    ASSERT_EQ(fopen_s(&file, path.c_str(), "wb"), 0);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

inline void RemoveIni() { DeleteFileA(IniFilePath().c_str()); }

// Empties the thread's queue, WM_QUIT included (a stopped tray posts one).
inline void DrainMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message != WM_QUIT) DispatchMessageA(&message);
    }
}

// A started tray with every seam in place; stopped and its window taken down at the end.
class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHooks::SetExeBitness(-1);
        TestHooks::SetAdmin(0);
        TestHooks::SetShellExecuteEx(&RecordLaunch);
        TrayHooks::SetNotifyIcon(&RecordNotifyIcon);
        TrayHooks::SetTrackPopupMenu(&RecordPopupMenu);
        TrayHooks::SetMessageBox(&RecordMessageBox);
        TrayHooks::SetShellExecute(&RecordShellExecute);
        TrayHooks::SetUpdateDevices(&FakeRefreshDevices);
        Recorded().Clear();
        Search().Reset();
        TestRegistry::ClearProductKeys();
        RemoveIni();
    }

    void TearDown() override {
        StopTray();
        TrayHooks::SetNotifyIcon(nullptr);
        TrayHooks::SetTrackPopupMenu(nullptr);
        TrayHooks::SetMessageBox(nullptr);
        TrayHooks::SetShellExecute(nullptr);
        TrayHooks::SetUpdateDevices(nullptr);
        TestHooks::SetShellExecuteEx(nullptr);
        TestHooks::SetAdmin(-1);
        TestHooks::SetExeBitness(-1);
        RemoveIni();
    }

    // Starts the tray and waits until its first search has run.
    void StartTray() {
        probe_.SetDevices(&devices_);
        tray_.StartThread(GetModuleHandleA(nullptr), &devices_);
        started_ = true;
    }

    void StartTrayAndSettle() {
        StartTray();
        ASSERT_EQ(WaitForSingleObject(Search().finished.Get(), 5000), WAIT_OBJECT_0);
        WaitUntilIdle();
        ResetSearchEvents();
    }

    // Forgets signals of searches that already ran.
    void ResetSearchEvents() {
        ResetEvent(Search().entered.Get());
        ResetEvent(Search().finished.Get());
    }

    // The refresh thread has left its cycle (icon switched or not).
    void WaitUntilIdle() {
        for (int i = 0; i < 200 && probe_.RefreshRunning(); ++i) Sleep(10);
        Sleep(100);
    }

    void StopTray() {
        if (!started_) return;
        started_ = false;
        Search().Release();
        if (probe_.Running()) probe_.OnDestroy();
        HWND window = probe_.Window();
        if (window != nullptr) {
            SetWindowLongPtrA(window, 0, 0);
            DestroyWindow(window);
        }
        DrainMessages();
    }

    void SetList(const DeviceList& list) {
        CCriticalSectionHold hold(devices_.Lock);
        devices_.Devices = list;
    }

    // Saves `list` as the stored list, as an earlier run would have left it.
    void StoreList(const DeviceList& list) {
        CStorage storage;
        storage.SaveDevices(list);
    }

    DeviceList StoredList() {
        DeviceList list;
        CStorage storage;
        storage.LoadDevices(list);
        return list;
    }

    std::vector<MenuRow> ClickMenu(LPARAM mouse = WM_RBUTTONDOWN) {
        size_t before = Recorded().menus.size();
        probe_.OnTrayMessage(mouse);
        DrainMessages();
        std::lock_guard<std::mutex> hold(Recorded().mutex);
        if (Recorded().menus.size() == before) return {};
        return Recorded().menus.back();
    }

    CDevices devices_;
    CDevicesLockLifetime lock_{devices_};
    CTrayIcon tray_;
    CTrayIconProbe probe_{tray_};
    bool started_ = false;
};
