// CDevices::RemoveDevice and RemoveTuner on a list: the erase, the save and the follow-up.
#include <gtest/gtest.h>

#include <algorithm>

#include "TrayProbe.h"
#include "tray/DeviceRemoval.h"

namespace {

class DeviceRemovalTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHooks::SetAdmin(0);
        TestHooks::SetShellExecuteEx(&RecordLaunch);
        Recorded().Clear();
        TestRegistry::ClearProductKeys();
        for (const char* id : {"10A0000D", "10A00012", "1A2B3C46"}) {
            DeviceInfo device = MakeDevice(id, "192.0.2.30", id, false);
            for (int tuner = 0; tuner < 3; ++tuner) device.Tuners.push_back(MakeTuner(id, tuner, "T", "", false));
            list_.push_back(device);
        }
        CStorage storage;
        storage.SaveDevices(list_);
        devices_.Devices = list_;
    }
    void TearDown() override {
        TestHooks::SetShellExecuteEx(nullptr);
        TestHooks::SetAdmin(-1);
        TestRegistry::ClearProductKeys();
    }

    static std::vector<std::string> Ids(const DeviceList& list) {
        std::vector<std::string> ids;
        for (const DeviceInfo& device : list) ids.push_back(device.Id);
        return ids;
    }
    static std::vector<std::string> TunerIds(const DeviceInfo& device) {
        std::vector<std::string> ids;
        for (const TunerInfo& tuner : device.Tuners) ids.push_back(tuner.Id);
        return ids;
    }
    DeviceList Stored() {
        DeviceList list;
        CStorage storage;
        storage.LoadDevices(list);
        return list;
    }

    DeviceList list_;
    CDevices devices_;
    CDevicesLockLifetime lock_{devices_};
};

TEST_F(DeviceRemovalTest, RemoveDeviceErasesSavesAndMovesLaterBoxesUp) {
    EXPECT_TRUE(devices_.RemoveDevice(1));
    EXPECT_EQ(Ids(devices_.Devices), (std::vector<std::string>{"10A0000D", "1A2B3C46"}));
    EXPECT_EQ(Ids(Stored()), (std::vector<std::string>{"10A0000D", "1A2B3C46"}));
    DeviceInfo moved;
    ASSERT_TRUE(devices_.GetDevice(1, moved));
    EXPECT_STREQ(moved.Id, "1A2B3C46");
    EXPECT_EQ(moved.Tuners.size(), 3u);
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    ASSERT_EQ(Recorded().launchParameters.size(), 1u);
    EXPECT_EQ(Recorded().launchParameters[0], "-r");
    EXPECT_EQ(Recorded().launchVerbs[0], "runas");
}

TEST_F(DeviceRemovalTest, RemoveTunerErasesOnlyThatTuner) {
    EXPECT_TRUE(devices_.RemoveTuner(2, 1));
    EXPECT_EQ(TunerIds(devices_.Devices[2]), (std::vector<std::string>{"1A2B3C46-0", "1A2B3C46-2"}));
    DeviceList stored = Stored();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(TunerIds(stored[2]), (std::vector<std::string>{"1A2B3C46-0", "1A2B3C46-2"}));
    EXPECT_EQ(TunerIds(stored[0]).size(), 3u);
    EXPECT_EQ(Recorded().LaunchCount(), 1u);
}

TEST_F(DeviceRemovalTest, PositionsNoLongerListedChangeNothing) {
    EXPECT_FALSE(devices_.RemoveDevice(3));
    EXPECT_FALSE(devices_.RemoveDevice(-1));
    EXPECT_FALSE(devices_.RemoveTuner(3, 0));
    EXPECT_FALSE(devices_.RemoveTuner(0, 3));
    EXPECT_FALSE(devices_.RemoveTuner(0, -1));
    EXPECT_EQ(devices_.Devices.size(), 3u);
    EXPECT_EQ(Stored().size(), 3u);
    EXPECT_EQ(Recorded().LaunchCount(), 0u) << "nothing erased: no follow-up";
}

TEST_F(DeviceRemovalTest, RemovingTheLastBoxEmptiesTheStore) {
    devices_.Devices.resize(1);
    EXPECT_TRUE(devices_.RemoveDevice(0));
    EXPECT_TRUE(devices_.Devices.empty());
    EXPECT_TRUE(Stored().empty());
}

TEST_F(DeviceRemovalTest, MenuDeletionsCheckIdentityAndAbsenceUnderTheLock) {
    EXPECT_FALSE(RemoveAbsentDevice(devices_, 1, "10A0000D")) << "another box at that position";
    devices_.Devices[1].Modified = ModifiedDevicePresent;
    EXPECT_FALSE(RemoveAbsentDevice(devices_, 1, "10A00012")) << "present again";
    devices_.Devices[1].Modified = 0;
    devices_.Devices[1].Tuners[2].Modified = ModifiedTunerPresent;
    EXPECT_FALSE(RemoveAbsentTuner(devices_, 1, 2, "10A00012", "10A00012-2")) << "present again";
    EXPECT_FALSE(RemoveAbsentTuner(devices_, 1, 1, "10A00012", "10A00012-2")) << "another tuner there";
    EXPECT_FALSE(RemoveAbsentTuner(devices_, 2, 1, "10A00012", "10A00012-1")) << "another box there";
    EXPECT_EQ(Stored().size(), 3u);
    EXPECT_EQ(Recorded().LaunchCount(), 0u);

    EXPECT_TRUE(RemoveAbsentTuner(devices_, 1, 1, "10A00012", "10A00012-1"));
    EXPECT_EQ(TunerIds(Stored()[1]), (std::vector<std::string>{"10A00012-0", "10A00012-2"}));
    EXPECT_TRUE(RemoveAbsentDevice(devices_, 1, "10A00012"));
    EXPECT_EQ(Ids(Stored()), (std::vector<std::string>{"10A0000D", "1A2B3C46"}));
    EXPECT_EQ(Recorded().LaunchCount(), 2u);
}

// --- an administrator applies the removal itself ------------------------------

constexpr const char kTunerCategoryInstances[] = "CLSID\\{71985F48-1CA1-11d3-9CC8-00C04F7971E0}\\Instance";

// Friendly names of the filter instances registered under the network tuner category.
std::vector<std::string> FilterInstanceNames() {
    std::vector<std::string> names;
    CScopedKey instances;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kTunerCategoryInstances, 0, KEY_READ, instances.Receive()) != ERROR_SUCCESS)
        return names;
    char subKey[256];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof(subKey);
        if (RegEnumKeyExA(instances.Get(), index, subKey, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        char friendly[256] = {};
        DWORD bytes = sizeof(friendly);
        if (RegGetValueA(instances.Get(), subKey, "FriendlyName", RRF_RT_REG_SZ, nullptr, friendly, &bytes) ==
            ERROR_SUCCESS)
            names.push_back(friendly);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string PvrFolder() {
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
    return std::string(common) + "\\ORVA Systems\\PVR\\Supported3\\Sources";
}

bool FolderExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// As the 32-bit program, which alone writes PVR files, run by an administrator.
class AdminRemovalTest : public DeviceRemovalTest {
protected:
    void SetUp() override {
        DeviceRemovalTest::SetUp();
        TestHooks::SetAdmin(1);
        TestHooks::SetExeBitness(0);
        SHCreateDirectoryExA(nullptr, PvrFolder().c_str(), nullptr);
        TestHooks::ResetFolders();
        com_ = SUCCEEDED(CoInitialize(nullptr));
        devices_.Devices.resize(2);  // 10A0000D and 10A00012, three tuners each
        ASSERT_TRUE(devices_.Install());
    }
    void TearDown() override {
        {
            CCriticalSectionHold hold(devices_.Lock);
            devices_.ClearDevices();
        }
        devices_.Uninstall();
        devices_.DeletePvrFolders();
        if (com_) CoUninitialize();
        TestHooks::SetExeBitness(-1);
        TestHooks::ResetFolders();
        DeviceRemovalTest::TearDown();
    }
    bool com_ = false;
};

TEST_F(AdminRemovalTest, RemoveDeviceTakesItsFiltersAndPvrFoldersAndKeepsTheRest) {
    ASSERT_EQ(FilterInstanceNames().size(), 6u);
    ASSERT_TRUE(FolderExists(PvrFolder() + "\\Zentrova 10A00012-1"));
    EXPECT_TRUE(devices_.RemoveDevice(1));
    EXPECT_EQ(FilterInstanceNames(), (std::vector<std::string>{"ORVA Tavrix 10A0000D-0", "ORVA Tavrix 10A0000D-1",
                                                                "ORVA Tavrix 10A0000D-2"}));
    for (int tuner = 0; tuner < 3; ++tuner) {
        EXPECT_FALSE(FolderExists(PvrFolder() + "\\Zentrova 10A00012-" + std::to_string(tuner)));
        EXPECT_TRUE(FolderExists(PvrFolder() + "\\Zentrova 10A0000D-" + std::to_string(tuner)));
    }
    EXPECT_EQ(Ids(Stored()), std::vector<std::string>{"10A0000D"});
    // A 32-bit administrator on a 64-bit system hands "-r" to the 64-bit copy, not elevated.
    std::lock_guard<std::mutex> hold(Recorded().mutex);
    ASSERT_EQ(Recorded().launchParameters.size(), 1u);
    EXPECT_EQ(Recorded().launchParameters[0], "-r");
    EXPECT_EQ(Recorded().launchVerbs[0], "");
}

TEST_F(AdminRemovalTest, RemoveTunerTakesOnlyThatTunersFilterAndPvrFolder) {
    EXPECT_TRUE(devices_.RemoveTuner(0, 1));
    std::vector<std::string> names = FilterInstanceNames();
    EXPECT_EQ(names.size(), 5u);
    EXPECT_EQ(std::count(names.begin(), names.end(), "ORVA Tavrix 10A0000D-1"), 0);
    EXPECT_FALSE(FolderExists(PvrFolder() + "\\Zentrova 10A0000D-1"));
    EXPECT_TRUE(FolderExists(PvrFolder() + "\\Zentrova 10A0000D-0"));
    EXPECT_TRUE(FolderExists(PvrFolder() + "\\Zentrova 10A0000D-2"));
    EXPECT_TRUE(FolderExists(PvrFolder() + "\\Zentrova 10A00012-1"));
}

}  // namespace
