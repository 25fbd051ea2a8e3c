// The one-shot jobs as the 32-bit administrator program runs them on a 64-bit system:
// the code path that writes and cleans PVR folders, which the 64-bit program never takes.
#include <windows.h>
#include <dbt.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "app/Jobs.h"
#include "app/Scoped.h"
#include "app/TestHooks.h"
#include "common/RegistryFixture.h"
#include "install/InstallSupport.h"
#include "store/Storage.h"

using namespace InstallSupport;

namespace {

struct Launch {
    std::string verb;
    std::string file;
    std::string parameters;
};
std::vector<Launch> launches;

BOOL WINAPI RecordLaunch(SHELLEXECUTEINFOA* record) {
    launches.push_back({record->lpVerb ? record->lpVerb : "", record->lpFile ? record->lpFile : "",
                        record->lpParameters ? record->lpParameters : ""});
    record->hProcess = nullptr;
    return TRUE;
}

// A top-level window of this thread that counts the device-change notices it is sent.
class CNoticeWindow {
public:
    CNoticeWindow() {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = &CNoticeWindow::Proc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "TavrixInstallJobTestWindow";
        RegisterClassA(&windowClass);
        window_ = CreateWindowA("TavrixInstallJobTestWindow", "jobs", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                nullptr, windowClass.hInstance, nullptr);
        Notices() = 0;
    }
    ~CNoticeWindow() { DestroyWindow(window_); }
    CNoticeWindow(const CNoticeWindow&) = delete;
    CNoticeWindow& operator=(const CNoticeWindow&) = delete;

    bool Exists() const { return window_ != nullptr; }
    // Dispatches what arrived within `milliseconds`; the number of notices seen.
    int Pump(DWORD milliseconds = 1000) {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < milliseconds) {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
            Sleep(20);
        }
        return Notices();
    }

private:
    static int& Notices() {
        static int notices = 0;
        return notices;
    }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED && lParam == 0) ++Notices();
        return DefWindowProcA(window, message, wParam, lParam);
    }
    HWND window_ = nullptr;
};

DWORD ReadFlags() {
    DWORD type = 0;
    std::string data;
    if (!TestRegistry::Query(HKEY_CURRENT_USER, kProductKey, "Flags", type, data) || data.size() != 4) return 0xDEADBEEF;
    DWORD value = 0;
    memcpy(&value, data.data(), 4);
    return value;
}

class JobsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHooks::SetExeBitness(0);
        TestHooks::SetSystemBitness(1);
        TestHooks::SetAdmin(1);
        TestHooks::SetShellExecuteEx(&RecordLaunch);
        launches.clear();
        TestRegistry::ClearProductKeys();
        ClearInstances();
        RemovePvrFolder();
        CreatePvrFolder();
    }
    void TearDown() override {
        TestHooks::SetShellExecuteEx(nullptr);
        TestHooks::SetAdmin(-1);
        TestHooks::SetSystemBitness(-1);
        TestHooks::SetExeBitness(-1);
        TestRegistry::ClearProductKeys();
        ClearInstances();
        RemovePvrFolder();
    }

    // The installation of an earlier run: instances and tuner folders with stale text.
    void Installed(const std::vector<std::string>& ids) {
        CTestDevices other;
        for (const std::string& id : ids) {
            ASSERT_TRUE(other.devices.Register(MakeTuner(id.c_str(), 0, "ofdm")));
            std::filesystem::create_directories(TunerFolder(id));
            WriteBytes(TunerFolder(id) + "\\Sources.xml", "stale");
        }
    }
    void Store(const DeviceList& list) {
        CStorage storage;
        storage.SaveDevices(list);
    }
    std::string TunerFolder(const std::string& id) { return PvrFolderPath() + "\\Zentrova " + id; }
    std::vector<std::wstring> Keys(const GUID& category) {
        std::vector<std::wstring> keys = InstanceKeys(category);
        std::sort(keys.begin(), keys.end());
        return keys;
    }
    std::string Home64Exe() {
        char base[MAX_PATH] = {};
        GetEnvironmentVariableA("CommonProgramW6432", base, MAX_PATH);
        return std::string(base) + "\\ORVA Systems\\Zentrova\\TavrixInstall.exe";
    }

    CTestDevices test;
    CDevices& devices = test.devices;
};

TEST_F(JobsTest, UninstallUnavailableRemovesOnlyTheDroppedBoxAndReinstallsTheRest) {
    Installed({"1A2B3C4D-0", "1A2B3C4D-1", "10A0000D-0", "10A0000D-1"});
    Store({MakeBox("1A2B3C4D", 2)});  // the box 10A0000D was removed from the list
    TestRegistry::SetDword(HKEY_CURRENT_USER, kProductKey, "Flags", 0x07);
    CNoticeWindow window;
    ASSERT_TRUE(window.Exists());

    RunJob("-r", devices);

    const std::vector<std::wstring> kept = {L"ORVA Tavrix 1A2B3C4D-0", L"ORVA Tavrix 1A2B3C4D-1"};
    EXPECT_EQ(kept, Keys(Receiver()));
    EXPECT_EQ(kept, Keys(NetworkTuner()));
    EXPECT_EQ((std::vector<std::string>{"Zentrova 1A2B3C4D-0", "Zentrova 1A2B3C4D-1"}), FolderEntries(PvrFolderPath()));
    // Reinstalled: the stale text was rewritten.
    EXPECT_EQ(0u, ReadBytes(TunerFolder("1A2B3C4D-1") + "\\Sources.xml").find("<?xml"));
    EXPECT_EQ(0x02u, ReadFlags());
    EXPECT_EQ(1, window.Pump());
    ASSERT_EQ(1u, launches.size());
    EXPECT_EQ(Home64Exe(), launches[0].file);
    EXPECT_EQ("-r", launches[0].parameters);
    EXPECT_EQ("", launches[0].verb);
}

TEST_F(JobsTest, UninstallAllRemovesEveryInstanceFolderAndTheStoredList) {
    Installed({"1A2B3C4D-0", "10A0000D-0"});
    Store({MakeBox("1A2B3C4D", 1), MakeBox("10A0000D", 1)});
    ASSERT_HRESULT_SUCCEEDED(RegisterDirectly(NetworkTuner(), L"Other Tuner 1", CLSID_TavrixTuner));
    std::filesystem::create_directories(PvrFolderPath() + "\\Other");
    CNoticeWindow window;

    RunJob("-R", devices);

    EXPECT_TRUE(Keys(Receiver()).empty());
    EXPECT_EQ(std::vector<std::wstring>{L"Other Tuner 1"}, Keys(NetworkTuner()));
    EXPECT_EQ(std::vector<std::string>{"Other"}, FolderEntries(PvrFolderPath()));
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, "SOFTWARE\\ORVA Systems\\Zentrova\\Devices"));
    EXPECT_EQ(1, window.Pump());
    ASSERT_EQ(1u, launches.size());
    EXPECT_EQ("-r", launches[0].parameters);
}

TEST_F(JobsTest, UninstallAllWithoutThePvrSourceFolderPostsNoNotice) {
    Installed({"1A2B3C4D-0"});
    RemovePvrFolder();
    CNoticeWindow window;
    RunJob("-R", devices);
    EXPECT_TRUE(Keys(NetworkTuner()).empty());
    EXPECT_EQ(0, window.Pump());
}

TEST_F(JobsTest, InstallPostsTheNoticeOnlyWhenEveryTunerGotItsFiles) {
    Store({MakeBox("1A2B3C4D", 2)});
    {
        CNoticeWindow window;
        RunJob("-i", devices);
        EXPECT_EQ(1, window.Pump());
        EXPECT_EQ(2u, Keys(NetworkTuner()).size());
    }
    Store({MakeDevice("10A0000D", "C", {MakeTuner("10A0000D-0", 0, "unknown")})});
    {
        CTestDevices again;
        CNoticeWindow window;
        RunJob("-i", again.devices);
        EXPECT_EQ(0, window.Pump());
        EXPECT_TRUE(IsRegistered(NetworkTuner(), "ORVA Tavrix 10A0000D-0"));
    }
}

}  // namespace
