// The tray's window, notification icon and refresh thread.
#include <gtest/gtest.h>

#include <thread>

#include "TrayProbe.h"
#include "res/resource.h"

namespace {

HICON Icon(int resource) { return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resource)); }

void PresentBoxWithPresentTuner(CDevices& devices) {
    DeviceInfo device = MakeDevice("10A0000D", "192.0.2.10", "Zentrova@box", true);
    device.Tuners.push_back(MakeTuner("10A0000D", 0, "Tuner", "", true));
    devices.Devices = {device};
}

void BoxLeft(CDevices& devices) {
    for (DeviceInfo& device : devices.Devices) {
        device.Modified &= ~ModifiedDevicePresent;
        for (TunerInfo& tuner : device.Tuners) tuner.Modified &= ~ModifiedTunerPresent;
    }
}

class TrayWindowTest : public TrayTest {
protected:
    // Runs one refresh cycle at once and waits for its end.
    void RefreshOnce() {
        ResetSearchEvents();
        probe_.OnCommand(107);
        ASSERT_EQ(WaitForSingleObject(Search().finished.Get(), 5000), WAIT_OBJECT_0);
        WaitUntilIdle();
    }
};

TEST_F(TrayWindowTest, StartCreatesTheHiddenWindowAndAddsIcon101) {
    ASSERT_NE(Icon(IDI_TUNER_NOT_READY), nullptr) << "the test program carries the icons";
    StartTray();
    HWND window = FindWindowA("TavrixInstallClass64", "Zentrova (64 Bit)");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window, probe_.Window());
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetWindowLongPtrA(window, 0), reinterpret_cast<LONG_PTR>(&tray_));
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)) & WS_OVERLAPPEDWINDOW,
              static_cast<DWORD>(WS_OVERLAPPEDWINDOW));

    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), "TavrixInstallClass64", &windowClass));
    EXPECT_EQ(windowClass.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(windowClass.cbWndExtra, static_cast<int>(sizeof(CTrayIcon)));
    EXPECT_EQ(windowClass.hIcon, Icon(IDI_TUNER));

    std::vector<IconCall> adds = Recorded().IconCallsOf(NIM_ADD);
    ASSERT_EQ(adds.size(), 1u);
    const NOTIFYICONDATAA& data = adds[0].data;
    EXPECT_EQ(data.cbSize, sizeof(NOTIFYICONDATAA));
    EXPECT_EQ(data.hWnd, window);
    EXPECT_EQ(data.uID, 1u);
    EXPECT_EQ(data.uFlags, 0x17u);
    EXPECT_EQ(data.uCallbackMessage, RegisterWindowMessageA("TavrixInstallMessage64"));
    EXPECT_EQ(data.hIcon, Icon(IDI_TUNER_NOT_READY));
    EXPECT_STREQ(data.szTip, "Zentrova (64 Bit)");
    EXPECT_STREQ(data.szInfo, "");
    EXPECT_STREQ(data.szInfoTitle, "");
    EXPECT_FALSE(probe_.IconReady());
}

TEST_F(TrayWindowTest, StartLoadsTheStoredListOnTheCallingThreadAndSearchesAtOnce) {
    DeviceInfo stored = MakeDevice("10A00012", "192.0.2.11", "Zentrova@stored", false);
    stored.Tuners.push_back(MakeTuner("10A00012", 0, "Tuner", "", false));
    StoreList({stored});
    Search().Block();
    StartTray();
    EXPECT_EQ(Search().storedLoads.load(), 1);
    EXPECT_EQ(Search().storedLoadThread.load(), GetCurrentThreadId());
    // The stored box is in the menu before any search has ended.
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[2].text, "Zentrova@stored");
    // The first search starts without the ten-second wait, on the refresh thread.
    ASSERT_EQ(WaitForSingleObject(Search().entered.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_NE(Search().searchThread.load(), GetCurrentThreadId());
    EXPECT_TRUE(probe_.RefreshRunning());
    Search().Release();
}

TEST_F(TrayWindowTest, IconFollowsPresentTunersAndAnUnchangedStateChangesNothing) {
    StartTrayAndSettle();
    EXPECT_TRUE(Recorded().IconCallsOf(NIM_MODIFY).empty()) << "nothing found: 101 stays";

    Search().SetChange(&PresentBoxWithPresentTuner);
    RefreshOnce();
    std::vector<IconCall> modifies = Recorded().IconCallsOf(NIM_MODIFY);
    ASSERT_EQ(modifies.size(), 1u);
    EXPECT_EQ(modifies[0].data.uFlags, static_cast<UINT>(NIF_ICON));
    EXPECT_EQ(modifies[0].data.hIcon, Icon(IDI_TUNER_READY));
    EXPECT_EQ(modifies[0].data.uID, 1u);
    EXPECT_TRUE(probe_.IconReady());

    RefreshOnce();
    EXPECT_EQ(Recorded().IconCallsOf(NIM_MODIFY).size(), 1u) << "unchanged state: no NIM_MODIFY";

    Search().SetChange(&BoxLeft);
    RefreshOnce();
    modifies = Recorded().IconCallsOf(NIM_MODIFY);
    ASSERT_EQ(modifies.size(), 2u);
    EXPECT_EQ(modifies[1].data.hIcon, Icon(IDI_TUNER_NOT_READY));
    EXPECT_FALSE(probe_.IconReady());
}

TEST_F(TrayWindowTest, PresentBoxWithoutPresentTunerKeepsIcon101) {
    StartTrayAndSettle();
    Search().SetChange([](CDevices& devices) {
        DeviceInfo device = MakeDevice("10A0000D", "192.0.2.10", "Zentrova@box", true);
        device.Tuners.push_back(MakeTuner("10A0000D", 0, "Tuner", "", false));
        DeviceInfo absent = MakeDevice("10A00012", "192.0.2.11", "Zentrova@gone", false);
        absent.Tuners.push_back(MakeTuner("10A00012", 0, "Tuner", "", true));
        devices.Devices = {device, absent};
    });
    RefreshOnce();
    EXPECT_TRUE(Recorded().IconCallsOf(NIM_MODIFY).empty());
}

TEST_F(TrayWindowTest, TwoRefreshCommandsDuringOneCycleGiveOneFurtherCycle) {
    StartTrayAndSettle();
    int before = Search().searches;
    Search().Block();
    ResetSearchEvents();
    probe_.OnCommand(107);
    ASSERT_EQ(WaitForSingleObject(Search().entered.Get(), 5000), WAIT_OBJECT_0);
    probe_.OnCommand(107);
    probe_.OnCommand(107);
    Search().Release();
    ASSERT_EQ(WaitForSingleObject(Search().entered.Get(), 5000), WAIT_OBJECT_0) << "one further cycle at once";
    ASSERT_EQ(WaitForSingleObject(Search().finished.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Search().entered.Get(), 3000), static_cast<DWORD>(WAIT_TIMEOUT))
        << "no third cycle before the period";
    EXPECT_EQ(Search().searches, before + 2);
}

DWORD StoredFlags() {
    DWORD type = 0;
    std::string data;
    if (!TestRegistry::Query(HKEY_CURRENT_USER, kProductKey, "Flags", type, data) || data.size() < sizeof(DWORD))
        return 0xFFFFFFFF;
    DWORD flags = 0;
    memcpy(&flags, data.data(), sizeof(flags));
    return flags;
}

TEST_F(TrayWindowTest, RefreshAsksForAForcedInstallWherePendingWorkNeedsIt) {
    StartTrayAndSettle();
    TestRegistry::SetDword(HKEY_CURRENT_USER, kProductKey, "Flags", FLAG_PENDING_FILTERS32);
    probe_.OnCommand(107);
    ASSERT_EQ(WaitForSingleObject(Search().finished.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(StoredFlags(), static_cast<DWORD>(FLAG_PENDING_FILTERS32)) << "a 64-bit program leaves Flags alone";

    // A 32-bit program without administrator rights marks the pending work as forced.
    WaitUntilIdle();
    TestHooks::SetExeBitness(0);
    probe_.OnCommand(107);
    TestHooks::SetExeBitness(-1);
    ASSERT_EQ(WaitForSingleObject(Search().finished.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(StoredFlags(), static_cast<DWORD>(FLAG_PENDING_FILTERS32 | FLAG_FORCE_UAC));
}

TEST_F(TrayWindowTest, ChangesThatNeedAnInstallStartTheFollowUpOthersDoNot) {
    StartTrayAndSettle();
    Search().mask = ModifiedDevicePresent | ModifiedTunerPresent;  // seen again, nothing new
    RefreshOnce();
    EXPECT_EQ(Recorded().LaunchCount(), 0u);

    Search().mask = ModifiedNewDevice;
    RefreshOnce();
    ASSERT_EQ(Recorded().LaunchCount(), 1u);
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    EXPECT_EQ(Recorded().launchParameters[0], "-i");
    EXPECT_EQ(Recorded().launchVerbs[0], "runas") << "no administrator: an elevated copy installs";
}

TEST_F(TrayWindowTest, ExitDuringASearchWaitsForItStartsNoInstallAndRemovesTheIcon) {
    StartTrayAndSettle();
    Search().mask = ModifiedNewDevice;
    Search().Block();
    ResetSearchEvents();
    probe_.OnCommand(107);
    ASSERT_EQ(WaitForSingleObject(Search().entered.Get(), 5000), WAIT_OBJECT_0);

    std::atomic<bool> returned{false};
    bool quitPosted = false;
    std::thread ui([&] {
        probe_.OnDestroy();
        returned = true;
        MSG message;
        quitPosted = PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    });
    Sleep(500);
    EXPECT_FALSE(returned) << "Exit must wait for the running search";
    EXPECT_TRUE(Recorded().IconCallsOf(NIM_DELETE).empty());
    Search().Release();
    ui.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(quitPosted);
    EXPECT_FALSE(probe_.Running());
    EXPECT_EQ(Recorded().LaunchCount(), 0u) << "no install or follow-up after Exit";
    std::vector<IconCall> deletes = Recorded().IconCallsOf(NIM_DELETE);
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].data.uID, 1u);
    EXPECT_EQ(deletes[0].data.hWnd, probe_.Window());
    EXPECT_EQ(Recorded().IconCalls().back().message, static_cast<DWORD>(NIM_DELETE));
}

TEST_F(TrayWindowTest, ExitCommandPostsDestroyToTheTrayWindow) {
    StartTrayAndSettle();
    probe_.OnCommand(105);
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, probe_.Window(), WM_DESTROY, WM_DESTROY, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
    EXPECT_EQ(message.lParam, 0);
    // Dispatched, it stops the tray through the window procedure.
    DispatchMessageA(&message);
    EXPECT_FALSE(probe_.Running());
    EXPECT_EQ(Recorded().IconCallsOf(NIM_DELETE).size(), 1u);
    EXPECT_TRUE(IsWindow(probe_.Window())) << "the window itself is not destroyed";
    DrainMessages();
}

TEST_F(TrayWindowTest, TheInstanceMessageOpensNoMenuAndChangesNoIcon) {
    StartTrayAndSettle();
    RegisterInstanceMessage();
    ASSERT_NE(InstanceMessage(), 0u);
    size_t calls = Recorded().IconCalls().size();
    EXPECT_EQ(SendMessageA(probe_.Window(), InstanceMessage(), 0, 0), 0);
    DrainMessages();
    EXPECT_TRUE(Recorded().menus.empty());
    EXPECT_EQ(Recorded().IconCalls().size(), calls);
    EXPECT_TRUE(probe_.Running());
}

TEST_F(TrayWindowTest, ARestartedShellGetsTheIconAgainWithItsCurrentPicture) {
    StartTrayAndSettle();
    Search().SetChange(&PresentBoxWithPresentTuner);
    RefreshOnce();
    ASSERT_TRUE(probe_.IconReady());
    EXPECT_EQ(SendMessageA(probe_.Window(), RegisterWindowMessageA("TaskbarCreated"), 0, 0), 0);
    std::vector<IconCall> adds = Recorded().IconCallsOf(NIM_ADD);
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[1].data.hIcon, Icon(IDI_TUNER_READY));
    EXPECT_EQ(adds[1].data.uCallbackMessage, probe_.CallbackMessage());
    EXPECT_EQ(adds[1].data.uFlags & (NIF_MESSAGE | NIF_ICON | NIF_TIP), static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_STREQ(adds[1].data.szTip, "Zentrova (64 Bit)");
}

TEST_F(TrayWindowTest, UnhandledMessagesGoToTheDefaultProcedure) {
    StartTrayAndSettle();
    EXPECT_EQ(SendMessageA(probe_.Window(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("renamed")), TRUE);
    char title[64] = {};
    GetWindowTextA(probe_.Window(), title, sizeof(title));
    EXPECT_STREQ(title, "renamed");
}

class TrayWindow32Test : public TrayTest {};

TEST_F(TrayWindow32Test, The32BitProgramUsesItsOwnNames) {
    TestHooks::SetExeBitness(0);
    StartTrayAndSettle();
    HWND window = FindWindowA("TavrixInstallClass32", "Zentrova (32 Bit)");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window, probe_.Window());
    EXPECT_EQ(probe_.CallbackMessage(), RegisterWindowMessageA("TavrixInstallMessage32"));
    EXPECT_NE(probe_.CallbackMessage(), RegisterWindowMessageA("TavrixInstallMessage64"));
    std::vector<IconCall> adds = Recorded().IconCallsOf(NIM_ADD);
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_STREQ(adds[0].data.szTip, "Zentrova (32 Bit)");
    std::vector<MenuRow> rows = ClickMenu();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].text, "Zentrova (32 Bit)");
    probe_.ShowAbout();
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    ASSERT_EQ(Recorded().aboutCaptions.size(), 1u);
    EXPECT_EQ(Recorded().aboutCaptions[0], "Zentrova (32 Bit)");
}

}  // namespace
