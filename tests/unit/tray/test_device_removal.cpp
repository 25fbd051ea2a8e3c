// CDevices::RemoveDevice and RemoveTuner on a list: the erase, the save and the follow-up.
#include <gtest/gtest.h>

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

}  // namespace
