// Folding a network search into the listed boxes and tuners: change and presence
// bits, the kept host name, duplicates, and the guarded queries on the list.
#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <string>

#include "app/Scoped.h"
#include "common/RecordBuilders.h"
#include "devices/Devices.h"
#include "devices/Merge.h"
#include "devices/Records.h"

namespace {

// A tuner as discovery builds it (new) or as the store gives it (modified 0).
TunerInfo Tuner(const char* boxId, int index, const std::string& model, const std::string& name,
                const std::string& owner = "", DWORD modified = ModifiedNewTuner) {
    return MakeTuner(boxId, index, model, name, owner, modified);
}

DeviceInfo Box(const char* id, const std::string& ip, const std::string& name, DWORD modified = ModifiedNewDevice) {
    return MakeDevice(id, ip, name, modified);
}

// A box as loaded from the store: no bits, two tuners.
DeviceInfo StoredBox() {
    DeviceInfo box = Box("10A0000D", "192.0.2.10", "Zentrova@tuner-one", 0);
    box.Tuners.push_back(Tuner("10A0000D", 0, "zx-dual", "Zentrova Dual", "", 0));
    box.Tuners.push_back(Tuner("10A0000D", 1, "zx-dual", "Zentrova Dual", "", 0));
    return box;
}

// The same box as a search finds it again, unchanged.
DeviceInfo FoundAgain() {
    DeviceInfo box = Box("10A0000D", "192.0.2.10", "Zentrova@tuner-one");
    box.Tuners.push_back(Tuner("10A0000D", 0, "zx-dual", "Zentrova Dual"));
    box.Tuners.push_back(Tuner("10A0000D", 1, "zx-dual", "Zentrova Dual"));
    return box;
}

class Merge : public ::testing::Test {
protected:
    CDevices devices;
    CDevicesLockLifetime lock{devices};

    DWORD MergeFound(const DeviceList& found) {
        CCriticalSectionHold hold(devices.Lock);
        return devices.MergeDevices(found);
    }
};

}  // namespace

TEST(MergeConstants, BitValuesAndInstallMask) {
    EXPECT_EQ(0xE05u, ModifiedNeedsInstall);
    EXPECT_EQ(ModifiedDevicePresent, ModifiedNewDevice & ModifiedDevicePresent);
    EXPECT_EQ(ModifiedTunerPresent, ModifiedNewTuner & ModifiedTunerPresent);
    EXPECT_NE(0u, ModifiedNewDevice & ModifiedNeedsInstall);
    EXPECT_NE(0u, ModifiedNewTuner & ModifiedNeedsInstall);
    for (DWORD outside : {ModifiedIp, ModifiedOwner, ModifiedDevicePresent, ModifiedTunerPresent})
        EXPECT_EQ(0u, outside & ModifiedNeedsInstall) << outside;
    for (DWORD inside : {ModifiedDeviceName, ModifiedTunerId, ModifiedModel, ModifiedTunerName})
        EXPECT_EQ(inside, inside & ModifiedNeedsInstall) << inside;
}

// --- new boxes and tuners ---------------------------------------------------------------

TEST_F(Merge, NewBoxYieldsExactlyItsOwnWordWhateverItsTuners) {
    DeviceInfo found = FoundAgain();
    EXPECT_EQ(0xFFu, MergeFound({found}));
    ASSERT_EQ(1u, devices.Devices.size());
    EXPECT_STREQ("10A0000D", devices.Devices[0].Id);
    EXPECT_STREQ("Zentrova@tuner-one", devices.Devices[0].Name);
    ASSERT_EQ(2u, devices.Devices[0].Tuners.size());
    EXPECT_EQ(ModifiedNewTuner, devices.Devices[0].Tuners[1].Modified);
    EXPECT_STREQ("10A0000D-1", devices.Devices[0].Tuners[1].Id);
}

TEST_F(Merge, NewBoxesAreAppendedAfterTheListedOnesInFoundOrder) {
    devices.Devices.push_back(StoredBox());
    DWORD result = MergeFound({Box("1A2B3C46", "192.0.2.30", "Zentrova@c"), Box("10A00012", "192.0.2.20", "b")});
    EXPECT_EQ(0xFFu, result);
    ASSERT_EQ(3u, devices.Devices.size());
    EXPECT_STREQ("10A0000D", devices.Devices[0].Id);
    EXPECT_STREQ("1A2B3C46", devices.Devices[1].Id);
    EXPECT_STREQ("10A00012", devices.Devices[2].Id);
    EXPECT_EQ(0u, devices.Devices[0].Modified);
}

TEST_F(Merge, OneMoreTunerIsAppendedAndReported) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo found = FoundAgain();
    found.Tuners.push_back(Tuner("10A0000D", 2, "zx-dual", "Zentrova Dual"));
    DWORD result = MergeFound({found});
    EXPECT_EQ(ModifiedNewTuner, result & ModifiedNewTuner);
    EXPECT_NE(0u, result & ModifiedNeedsInstall);
    const TunerList& tuners = devices.Devices[0].Tuners;
    ASSERT_EQ(3u, tuners.size());
    EXPECT_EQ(0, tuners[0].Index);
    EXPECT_EQ(1, tuners[1].Index);
    EXPECT_EQ(2, tuners[2].Index);
    EXPECT_EQ(ModifiedNewTuner, tuners[2].Modified);
}

TEST_F(Merge, NewTunerFoundBeforeListedOnesStillGoesToTheEnd) {
    DeviceInfo listed = StoredBox();
    listed.Tuners.erase(listed.Tuners.begin());  // only tuner 1 listed
    devices.Devices.push_back(listed);
    DWORD result = MergeFound({FoundAgain()});
    EXPECT_EQ(ModifiedNewTuner | ModifiedDevicePresent, result);
    const TunerList& tuners = devices.Devices[0].Tuners;
    ASSERT_EQ(2u, tuners.size());
    EXPECT_EQ(1, tuners[0].Index);
    EXPECT_EQ(ModifiedTunerPresent, tuners[0].Modified);
    EXPECT_EQ(0, tuners[1].Index);
}

// --- unchanged and changed fields ------------------------------------------------------

TEST_F(Merge, UnchangedBoxYieldsOnlyPresenceBits) {
    devices.Devices.push_back(StoredBox());
    DWORD result = MergeFound({FoundAgain()});
    EXPECT_EQ(ModifiedDevicePresent | ModifiedTunerPresent, result);
    EXPECT_EQ(0u, result & ModifiedNeedsInstall);
    EXPECT_EQ(ModifiedDevicePresent, devices.Devices[0].Modified);
    for (const TunerInfo& tuner : devices.Devices[0].Tuners) EXPECT_EQ(ModifiedTunerPresent, tuner.Modified);
}

TEST_F(Merge, StoredBitsAreCarriedIntoTheResult) {
    DeviceInfo listed = StoredBox();
    listed.Modified = ModifiedDeviceName;
    listed.Tuners[1].Modified = ModifiedOwner;
    devices.Devices.push_back(listed);
    DWORD result = MergeFound({FoundAgain()});
    EXPECT_EQ(ModifiedDevicePresent | ModifiedTunerPresent | ModifiedDeviceName | ModifiedOwner, result);
}

TEST_F(Merge, EachTunerFieldHasItsBit) {
    struct Case {
        const char* field;
        DWORD bit;
    };
    for (const Case& change : {Case{"Id", ModifiedTunerId}, Case{"Model", ModifiedModel},
                               Case{"Name", ModifiedTunerName}, Case{"Owner", ModifiedOwner}}) {
        SCOPED_TRACE(change.field);
        devices.Devices.clear();
        devices.Devices.push_back(StoredBox());
        DeviceInfo found = FoundAgain();
        TunerInfo& tuner = found.Tuners[1];
        std::string field = change.field;
        if (field == "Id") SetText(tuner.Id, "10A0000D-9");
        if (field == "Model") SetText(tuner.Model, "zx-quad");
        if (field == "Name") SetText(tuner.Name, "Zentrova Quad");
        if (field == "Owner") SetText(tuner.Owner, "viewer-pc");
        DWORD result = MergeFound({found});
        EXPECT_EQ(ModifiedDevicePresent | ModifiedTunerPresent | change.bit, result);
        const TunerInfo& listed = devices.Devices[0].Tuners[1];
        EXPECT_EQ(ModifiedTunerPresent | change.bit, listed.Modified);
        EXPECT_STREQ(tuner.Id, listed.Id);
        EXPECT_STREQ(tuner.Model, listed.Model);
        EXPECT_STREQ(tuner.Name, listed.Name);
        EXPECT_STREQ(tuner.Owner, listed.Owner);
        EXPECT_EQ(ModifiedTunerPresent, devices.Devices[0].Tuners[0].Modified);
    }
}

TEST_F(Merge, OwnerAloneCallsForNoInstall) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo found = FoundAgain();
    SetText(found.Tuners[0].Owner, "Unknown");
    DWORD result = MergeFound({found});
    EXPECT_EQ(ModifiedOwner, result & ModifiedOwner);
    EXPECT_EQ(0u, result & ModifiedNeedsInstall);
}

TEST_F(Merge, AllTunerFieldsChangedTogether) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo found = FoundAgain();
    found.Tuners[0] = Tuner("10A0000D", 0, "zx-quad", "Quad", "viewer-pc");
    SetText(found.Tuners[0].Id, "other-0");
    EXPECT_EQ(0x9E80u, MergeFound({found}));
    EXPECT_EQ(0x9E00u, devices.Devices[0].Tuners[0].Modified);
}

// --- address and name ------------------------------------------------------------------

TEST_F(Merge, ListedHostNameIsKeptWhenTheSearchOffersOnlyTheAddress) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo found = FoundAgain();
    SetText(found.Name, "Zentrova@192.0.2.10");
    DWORD result = MergeFound({found});
    EXPECT_EQ(0u, result & ModifiedDeviceName);
    EXPECT_STREQ("Zentrova@tuner-one", devices.Devices[0].Name);
    EXPECT_EQ(ModifiedDevicePresent, devices.Devices[0].Modified);
}

TEST_F(Merge, NewAddressKeepsTheHostNameAndReportsOnlyTheAddress) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo found = FoundAgain();
    SetText(found.Ip, "192.0.2.11");
    SetText(found.Name, "Zentrova@192.0.2.11");
    DWORD result = MergeFound({found});
    EXPECT_EQ(ModifiedIp, result & ModifiedIp);
    EXPECT_EQ(0u, result & ModifiedDeviceName);
    EXPECT_EQ(0u, result & ModifiedNeedsInstall);
    EXPECT_STREQ("192.0.2.11", devices.Devices[0].Ip);
    EXPECT_STREQ("Zentrova@tuner-one", devices.Devices[0].Name);
}

TEST_F(Merge, KeptNameIsJudgedAgainstTheUpdatedAddress) {
    // The listed name holds the old address only, so it counts as a host name.
    DeviceInfo listed = StoredBox();
    SetText(listed.Name, "Zentrova@192.0.2.10");
    devices.Devices.push_back(listed);
    DeviceInfo found = FoundAgain();
    SetText(found.Ip, "192.0.2.11");
    SetText(found.Name, "Zentrova@192.0.2.11");
    DWORD result = MergeFound({found});
    EXPECT_EQ(ModifiedIp, result & (ModifiedIp | ModifiedDeviceName));
    EXPECT_STREQ("Zentrova@192.0.2.10", devices.Devices[0].Name);
}

TEST_F(Merge, AddressNameIsReplacedByAHostName) {
    DeviceInfo listed = StoredBox();
    SetText(listed.Name, "Zentrova@192.0.2.10");
    devices.Devices.push_back(listed);
    DWORD result = MergeFound({FoundAgain()});
    EXPECT_EQ(ModifiedDeviceName, result & ModifiedDeviceName);
    EXPECT_NE(0u, result & ModifiedNeedsInstall);
    EXPECT_STREQ("Zentrova@tuner-one", devices.Devices[0].Name);
}

TEST_F(Merge, AnotherHostNameReplacesTheListedOne) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo found = FoundAgain();
    SetText(found.Name, "Zentrova@tuner-two");
    EXPECT_EQ(ModifiedDeviceName, MergeFound({found}) & ModifiedDeviceName);
    EXPECT_STREQ("Zentrova@tuner-two", devices.Devices[0].Name);
}

TEST_F(Merge, EmptyListedNameAlwaysTakesTheFoundName) {
    DeviceInfo listed = StoredBox();
    SetText(listed.Name, "");
    devices.Devices.push_back(listed);
    DeviceInfo found = FoundAgain();
    SetText(found.Name, "Zentrova@192.0.2.10");
    EXPECT_EQ(ModifiedDeviceName, MergeFound({found}) & ModifiedDeviceName);
    EXPECT_STREQ("Zentrova@192.0.2.10", devices.Devices[0].Name);
}

// --- duplicates and boxes not found ----------------------------------------------------

TEST_F(Merge, SameIdTwiceInOneSearchMakesOneRecord) {
    DeviceInfo first = FoundAgain();
    DeviceInfo second = FoundAgain();
    SetText(second.Ip, "192.0.2.12");
    SetText(second.Name, "Zentrova@other-host");
    DWORD result = MergeFound({first, second});
    EXPECT_EQ(ModifiedNewDevice, result & ModifiedNewDevice);
    ASSERT_EQ(1u, devices.Devices.size());
    EXPECT_STREQ("192.0.2.12", devices.Devices[0].Ip);
    EXPECT_STREQ("Zentrova@other-host", devices.Devices[0].Name);
    EXPECT_EQ(2u, devices.Devices[0].Tuners.size());
}

TEST_F(Merge, ListedBoxesNotFoundStayWithoutPresence) {
    devices.Devices.push_back(StoredBox());
    devices.Devices.push_back(Box("10A00012", "192.0.2.20", "Zentrova@b", 0));
    DeviceInfo found = Box("10A00012", "192.0.2.20", "Zentrova@b");
    DWORD result = MergeFound({found});
    EXPECT_EQ(ModifiedDevicePresent, result);
    ASSERT_EQ(2u, devices.Devices.size());
    EXPECT_EQ(0u, devices.Devices[0].Modified);
    EXPECT_EQ(2u, devices.Devices[0].Tuners.size());
    EXPECT_EQ(ModifiedDevicePresent, devices.Devices[1].Modified);
}

TEST_F(Merge, EmptySearchChangesNothing) {
    devices.Devices.push_back(StoredBox());
    EXPECT_EQ(0u, MergeFound({}));
    EXPECT_EQ(0u, devices.Devices[0].Modified);
}

// --- helpers on plain lists ----------------------------------------------------------------

TEST(MergeHelpers, FindDeviceIsExactAndCaseSensitive) {
    DeviceList list = {Box("10A0000D", "a", "a"), Box("10A00012", "b", "b")};
    EXPECT_EQ(0, FindDevice(list, "10A0000D"));
    EXPECT_EQ(1, FindDevice(list, "10A00012"));
    EXPECT_EQ(-1, FindDevice(list, "10a0000d"));
    EXPECT_EQ(-1, FindDevice(list, "10A0000"));
    EXPECT_EQ(-1, FindDevice(DeviceList(), "10A0000D"));
}

TEST(MergeHelpers, FindTunerByIndex) {
    TunerList tuners = {Tuner("X", 3, "m", "n"), Tuner("X", 0, "m", "n")};
    EXPECT_EQ(0, FindTuner(tuners, 3));
    EXPECT_EQ(1, FindTuner(tuners, 0));
    EXPECT_EQ(-1, FindTuner(tuners, 1));
}

TEST(MergeHelpers, MergeTunerReturnsTheListedWholeWord) {
    TunerInfo listed = Tuner("X", 0, "m", "n", "", ModifiedOwner);
    TunerInfo found = Tuner("X", 0, "m", "renamed");
    EXPECT_EQ(ModifiedOwner | ModifiedTunerPresent | ModifiedTunerName, MergeTuner(listed, found));
    EXPECT_STREQ("renamed", listed.Name);
}

TEST(MergeHelpers, MergeTunersOrsNewAndListed) {
    TunerList listed = {Tuner("X", 0, "m", "n", "", 0)};
    TunerList found = {Tuner("X", 0, "m", "n"), Tuner("X", 1, "m", "n")};
    EXPECT_EQ(ModifiedNewTuner, MergeTuners(listed, found));
    ASSERT_EQ(2u, listed.size());
    EXPECT_EQ(ModifiedTunerPresent, listed[0].Modified);
}

TEST(MergeHelpers, MergeDeviceOrsTunersWithTheListedWord) {
    DeviceInfo listed = StoredBox();
    DeviceInfo found = FoundAgain();
    SetText(found.Tuners[0].Model, "zx-quad");
    EXPECT_EQ(ModifiedDevicePresent | ModifiedTunerPresent | ModifiedModel, MergeDevice(listed, found));
}

// --- queries and positions --------------------------------------------------------------

class DevicesQueries : public Merge {};

TEST_F(DevicesQueries, HasPresentTunerNeedsAnAnsweringBoxWithAnAnsweringTuner) {
    EXPECT_FALSE(devices.HasPresentTuner());
    devices.Devices.push_back(StoredBox());
    EXPECT_FALSE(devices.HasPresentTuner());
    devices.Devices[0].Tuners[1].Modified = ModifiedTunerPresent;  // box itself did not answer
    EXPECT_FALSE(devices.HasPresentTuner());
    devices.Devices[0].Tuners[1].Modified = 0;
    devices.Devices[0].Modified = ModifiedDevicePresent;
    EXPECT_FALSE(devices.HasPresentTuner());
    devices.Devices[0].Tuners[1].Modified = ModifiedTunerPresent;
    EXPECT_TRUE(devices.HasPresentTuner());
}

TEST_F(DevicesQueries, HasPresentTunerAfterAMerge) {
    devices.Devices.push_back(StoredBox());
    MergeFound({Box("10A00012", "192.0.2.20", "Zentrova@b")});  // a box without tuners answered
    EXPECT_FALSE(devices.HasPresentTuner());
    MergeFound({FoundAgain()});
    EXPECT_TRUE(devices.HasPresentTuner());
}

TEST_F(DevicesQueries, HasTunerMatchesOnlyWholeIdsRegardlessOfBits) {
    devices.Devices.push_back(StoredBox());
    devices.Devices.push_back(Box("10A00012", "192.0.2.20", "b", 0));
    EXPECT_TRUE(devices.HasTuner("10A0000D-0"));
    EXPECT_TRUE(devices.HasTuner("10A0000D-1"));
    EXPECT_FALSE(devices.HasTuner("10A0000D-"));
    EXPECT_FALSE(devices.HasTuner("10A0000D-10"));
    EXPECT_FALSE(devices.HasTuner("10a0000d-0"));
    EXPECT_FALSE(devices.HasTuner("10A00012-0"));
}

TEST_F(DevicesQueries, PositionsOutsideTheListReadNothing) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo copy = Box("sentinel", "s", "s", 0x1234);
    EXPECT_TRUE(devices.GetDevice(0, copy));
    EXPECT_STREQ("10A0000D", copy.Id);
    EXPECT_EQ(2u, copy.Tuners.size());
    copy = Box("sentinel", "s", "s", 0x1234);
    EXPECT_FALSE(devices.GetDevice(1, copy));
    EXPECT_FALSE(devices.GetDevice(-1, copy));
    EXPECT_STREQ("sentinel", copy.Id);
    EXPECT_EQ(0x1234u, copy.Modified);

    EXPECT_EQ(1, devices.DeviceCount());
    EXPECT_EQ(2, devices.TunerCount(0));
    EXPECT_EQ(-1, devices.TunerCount(1));
    EXPECT_EQ(-1, devices.TunerCount(-1));

    TunerInfo tuner = Tuner("sentinel", 42, "m", "n", "", 0x77);
    EXPECT_TRUE(devices.GetTuner(0, 1, tuner));
    EXPECT_STREQ("10A0000D-1", tuner.Id);
    tuner = Tuner("sentinel", 42, "m", "n", "", 0x77);
    EXPECT_FALSE(devices.GetTuner(0, 2, tuner));
    EXPECT_FALSE(devices.GetTuner(0, -1, tuner));
    EXPECT_FALSE(devices.GetTuner(1, 0, tuner));
    EXPECT_FALSE(devices.GetTuner(-1, 0, tuner));
    EXPECT_EQ(42, tuner.Index);
    EXPECT_EQ(0x77u, tuner.Modified);
}

TEST_F(DevicesQueries, GetDeviceHandsOutACopy) {
    devices.Devices.push_back(StoredBox());
    DeviceInfo copy;
    ASSERT_TRUE(devices.GetDevice(0, copy));
    {
        CCriticalSectionHold hold(devices.Lock);
        devices.ClearDevices();
    }
    EXPECT_STREQ("192.0.2.10", copy.Ip);
    EXPECT_EQ(2u, copy.Tuners.size());
    EXPECT_EQ(0, devices.DeviceCount());
}
