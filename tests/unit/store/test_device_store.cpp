// The stored device list: round trip, exact registry layout, bad stored data,
// default-user fallback, tree deletion and the store mutex.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "common/LogCapture.h"
#include "common/RegistryFixture.h"
#include "store/Storage.h"

using namespace StoreTest;
using Lines = std::vector<std::string>;
using Names = std::vector<std::string>;
using NameSet = std::set<std::string>;

namespace {

DeviceList SampleList() {
    DeviceInfo first = MakeDevice("10A0000D", "192.0.2.10", "Zentrova@tuner-one", ModifiedNewDevice);
    first.Tuners.push_back(MakeTuner("10A0000D", 0, "zx-dual", "Zentrova Dual", "host-a", ModifiedNewTuner));
    first.Tuners.push_back(MakeTuner("10A0000D", 1, "zx-dual", "Zentrova Dual", "", ModifiedOwner));
    DeviceInfo second = MakeDevice("10A00012", "198.51.100.7", "Zentrova@198.51.100.7", ModifiedIp);
    return {first, second};
}

DeviceList Load() {
    DeviceList list;
    CStorage().LoadDevices(list);
    return list;
}

void Save(const DeviceList& list) { CStorage().SaveDevices(list); }

std::string Raw(const std::string& path, const char* name, DWORD expectedType = REG_SZ) {
    DWORD type = REG_NONE;
    std::string data;
    if (!TestRegistry::Query(HKEY_CURRENT_USER, path.c_str(), name, type, data)) return "<missing>";
    if (type != expectedType) return "<type " + std::to_string(type) + ">";
    return data;
}

std::string Sz(const char* text) { return std::string(text, strlen(text) + 1); }

std::string BoxPath(const char* id) { return std::string(kDevices) + "\\" + id; }
std::string TunerPath(const char* id, const char* tuner) { return BoxPath(id) + "\\Tuners\\" + tuner; }

// A hand-made stored box with one tuner, under the given root.
void StoreBox(HKEY root, const std::string& devices, const char* id, const char* ip, const char* name) {
    std::string box = devices + "\\" + id;
    TestRegistry::SetString(root, box.c_str(), "Ip", ip);
    TestRegistry::SetString(root, box.c_str(), "Name", name);
    std::string tuner = box + "\\Tuners\\0";
    TestRegistry::SetString(root, tuner.c_str(), "Id", std::string(id) + "-0");
    TestRegistry::SetString(root, tuner.c_str(), "Model", "zx-single");
    TestRegistry::SetString(root, tuner.c_str(), "Name", "Zentrova Single");
}

std::string Text(const char* field) { return field; }

template <size_t N>
bool IsEmptyField(const char (&field)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (field[i] != '\0') return false;
    return true;
}

}  // namespace

// --- round trip and layout -----------------------------------------------------------

class DeviceStoreRoundTrip : public StoreFixture {};

TEST_F(DeviceStoreRoundTrip, SavedListLoadsBackWithoutModifiedAndOwner) {
    DeviceList saved = SampleList();
    Save(saved);
    DeviceList loaded = Load();
    ASSERT_EQ(2u, loaded.size());
    for (size_t b = 0; b < saved.size(); ++b) {
        SCOPED_TRACE(b);
        EXPECT_EQ(0u, loaded[b].Modified);
        EXPECT_EQ(Text(saved[b].Id), loaded[b].Id);
        EXPECT_EQ(Text(saved[b].Ip), loaded[b].Ip);
        EXPECT_EQ(Text(saved[b].Name), loaded[b].Name);
        ASSERT_EQ(saved[b].Tuners.size(), loaded[b].Tuners.size());
        for (size_t t = 0; t < saved[b].Tuners.size(); ++t) {
            const TunerInfo& in = saved[b].Tuners[t];
            const TunerInfo& out = loaded[b].Tuners[t];
            EXPECT_EQ(0u, out.Modified);
            EXPECT_EQ(in.Index, out.Index);
            EXPECT_EQ(Text(in.Id), out.Id);
            EXPECT_EQ(Text(in.Model), out.Model);
            EXPECT_EQ(Text(in.Name), out.Name);
            EXPECT_TRUE(IsEmptyField(out.Owner));
        }
    }
}

TEST_F(DeviceStoreRoundTrip, LoadAppendsToTheGivenList) {
    Save(SampleList());
    DeviceList list;
    list.push_back(MakeDevice("AAAAAAAA", "192.0.2.99", "kept"));
    CStorage().LoadDevices(list);
    ASSERT_EQ(3u, list.size());
    EXPECT_STREQ("AAAAAAAA", list[0].Id);
    EXPECT_STREQ("10A0000D", list[1].Id);
    EXPECT_STREQ("10A00012", list[2].Id);
}

TEST_F(DeviceStoreRoundTrip, ExactKeysValuesTypesAndTerminators) {
    Save(SampleList());
    EXPECT_EQ(Names({"Devices"}), SubkeyNames(HKEY_CURRENT_USER, kRoot));
    EXPECT_EQ(Names({"10A0000D", "10A00012"}), SubkeyNames(HKEY_CURRENT_USER, kDevices));

    EXPECT_EQ(NameSet({"Ip", "Name"}), ValueNames(HKEY_CURRENT_USER, BoxPath("10A0000D")));
    EXPECT_EQ(Sz("192.0.2.10"), Raw(BoxPath("10A0000D"), "Ip"));
    EXPECT_EQ(Sz("Zentrova@tuner-one"), Raw(BoxPath("10A0000D"), "Name"));
    EXPECT_EQ(Names({"Tuners"}), SubkeyNames(HKEY_CURRENT_USER, BoxPath("10A0000D")));
    EXPECT_EQ(Names({"0", "1"}), SubkeyNames(HKEY_CURRENT_USER, BoxPath("10A0000D") + "\\Tuners"));

    for (const char* index : {"0", "1"}) {
        std::string path = TunerPath("10A0000D", index);
        EXPECT_EQ(NameSet({"Id", "Model", "Name"}), ValueNames(HKEY_CURRENT_USER, path));
        EXPECT_EQ(Sz(("10A0000D-" + std::string(index)).c_str()), Raw(path, "Id"));
        EXPECT_EQ(Sz("zx-dual"), Raw(path, "Model"));
        EXPECT_EQ(Sz("Zentrova Dual"), Raw(path, "Name"));
        EXPECT_EQ(Names(), SubkeyNames(HKEY_CURRENT_USER, path));
    }
}

TEST_F(DeviceStoreRoundTrip, BoxWithoutTunersGetsAnEmptyTunersKey) {
    Save(SampleList());
    EXPECT_EQ(NameSet({"Ip", "Name"}), ValueNames(HKEY_CURRENT_USER, BoxPath("10A00012")));
    EXPECT_EQ(Sz("198.51.100.7"), Raw(BoxPath("10A00012"), "Ip"));
    EXPECT_EQ(Names({"Tuners"}), SubkeyNames(HKEY_CURRENT_USER, BoxPath("10A00012")));
    EXPECT_TRUE(TestRegistry::KeyExists(HKEY_CURRENT_USER, (BoxPath("10A00012") + "\\Tuners").c_str()));
    EXPECT_EQ(Names(), SubkeyNames(HKEY_CURRENT_USER, BoxPath("10A00012") + "\\Tuners"));
    EXPECT_EQ(NameSet(), ValueNames(HKEY_CURRENT_USER, BoxPath("10A00012") + "\\Tuners"));
}

TEST_F(DeviceStoreRoundTrip, EmptyTextsAreStoredAsASingleTerminator) {
    DeviceInfo box = MakeDevice("10A0000D", "", "");
    box.Tuners.push_back(MakeTuner("10A0000D", 3, "", ""));
    Save({box});
    EXPECT_EQ(std::string(1, '\0'), Raw(BoxPath("10A0000D"), "Ip"));
    EXPECT_EQ(std::string(1, '\0'), Raw(BoxPath("10A0000D"), "Name"));
    EXPECT_EQ(std::string(1, '\0'), Raw(TunerPath("10A0000D", "3"), "Model"));
    DeviceList loaded = Load();
    ASSERT_EQ(1u, loaded.size());
    ASSERT_EQ(1u, loaded[0].Tuners.size());
    EXPECT_EQ(3, loaded[0].Tuners[0].Index);
    EXPECT_STREQ("10A0000D-3", loaded[0].Tuners[0].Id);
}

TEST_F(DeviceStoreRoundTrip, FullLengthFieldsSurvive) {
    std::string ip(19, '1');
    std::string name(79, 'n');
    std::string model(19, 'm');
    std::string tunerName(79, 't');
    DeviceInfo box = MakeDevice("10A0000D", ip, name);
    box.Tuners.push_back(MakeTuner("10A0000D", 0, model, tunerName));
    Save({box});
    EXPECT_EQ(ip + '\0', Raw(BoxPath("10A0000D"), "Ip"));
    DeviceList loaded = Load();
    ASSERT_EQ(1u, loaded.size());
    EXPECT_EQ(ip, loaded[0].Ip);
    EXPECT_EQ(name, loaded[0].Name);
    ASSERT_EQ(1u, loaded[0].Tuners.size());
    EXPECT_EQ(model, loaded[0].Tuners[0].Model);
    EXPECT_EQ(tunerName, loaded[0].Tuners[0].Name);
}

TEST_F(DeviceStoreRoundTrip, SaveReplacesTheWholeStoredList) {
    Save(SampleList());
    DeviceInfo only = MakeDevice("1A2B3C46", "192.0.2.50", "Zentrova@other");
    only.Tuners.push_back(MakeTuner("1A2B3C46", 2, "zx-one", "One"));
    Save({only});
    EXPECT_EQ(Names({"1A2B3C46"}), SubkeyNames(HKEY_CURRENT_USER, kDevices));
    EXPECT_EQ(Names({"2"}), SubkeyNames(HKEY_CURRENT_USER, BoxPath("1A2B3C46") + "\\Tuners"));
    DeviceList loaded = Load();
    ASSERT_EQ(1u, loaded.size());
    EXPECT_STREQ("1A2B3C46", loaded[0].Id);
    ASSERT_EQ(1u, loaded[0].Tuners.size());
    EXPECT_EQ(2, loaded[0].Tuners[0].Index);
}

TEST_F(DeviceStoreRoundTrip, FirstSaveLogsTheMissingTreeLaterSavesDoNot) {
    {
        CLogCapture capture;
        Save(SampleList());
        EXPECT_EQ(Lines({"Registry access - delete devices failed!"}), WithoutPvrProbe(capture.Lines()));
    }
    {
        CLogCapture capture;
        Save(SampleList());
        EXPECT_EQ(Lines(), WithoutPvrProbe(capture.Lines()));
    }
}

TEST_F(DeviceStoreRoundTrip, EmptyListDeletesTheTreeAndCreatesNothing) {
    Save(SampleList());
    {
        CLogCapture capture;
        Save({});
        EXPECT_EQ(Lines(), WithoutPvrProbe(capture.Lines()));
    }
    EXPECT_TRUE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kRoot));
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kDevices));
    EXPECT_TRUE(Load().empty());
    {
        CLogCapture capture;
        Save({});
        EXPECT_EQ(Lines({"Registry access - delete devices failed!"}), WithoutPvrProbe(capture.Lines()));
    }
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kDevices));
}

TEST_F(DeviceStoreRoundTrip, SaveKeepsFlagsBesideTheList) {
    TestRegistry::SetDword(HKEY_CURRENT_USER, kRoot, "Flags", 0x15);
    Save(SampleList());
    Save({});
    DWORD flags = 0;
    ASSERT_TRUE(QueryDword(HKEY_CURRENT_USER, kRoot, "Flags", flags));
    EXPECT_EQ(0x15u, flags);
}

TEST_F(DeviceStoreRoundTrip, UncreatableRootIsLoggedAndSavesNothing) {
    MakeProductKeyUncreatable();
    {
        CLogCapture capture;
        Save(SampleList());
        EXPECT_EQ(Lines({"Save to CURRENT_USER Registry access failed!"}), WithoutPvrProbe(capture.Lines()));
    }
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kRoot));
}

// --- hand-made and bad stored data -----------------------------------------------------

class DeviceStoreStoredData : public StoreFixture {
protected:
    // One stored box "10A0000D" with tuner "0", each value given by the test.
    const std::string box = BoxPath("10A0000D");
    const std::string tuner = TunerPath("10A0000D", "0");

    void SetUp() override {
        StoreFixture::SetUp();
        StoreBox(HKEY_CURRENT_USER, kDevices, "10A0000D", "192.0.2.10", "Zentrova@box");
        TestRegistry::SetString(HKEY_CURRENT_USER, tuner.c_str(), "Owner", "host-b");
    }

    DeviceInfo LoadOne() {
        DeviceList list = Load();
        EXPECT_EQ(1u, list.size());
        return list.empty() ? DeviceInfo() : list[0];
    }
    // RegSetValueExA counts a forgotten terminator itself when the byte after the data is
    // NUL; a trailing non-NUL byte outside the count keeps the data unterminated.
    void SetUnterminated(const std::string& path, const char* name, DWORD type, const std::string& text) {
        std::string buffer = text + "#";
        TestRegistry::SetRaw(HKEY_CURRENT_USER, path.c_str(), name, type, buffer.data(),
                             static_cast<DWORD>(text.size()));
    }
    TunerInfo LoadOneTuner() {
        DeviceInfo device = LoadOne();
        EXPECT_EQ(1u, device.Tuners.size());
        return device.Tuners.empty() ? TunerInfo() : device.Tuners[0];
    }
};

TEST_F(DeviceStoreStoredData, HandMadeModifiedAndOwnerAreReadAndDroppedBySave) {
    TestRegistry::SetDword(HKEY_CURRENT_USER, box.c_str(), "Modified", 0x86);
    TestRegistry::SetDword(HKEY_CURRENT_USER, tuner.c_str(), "Modified", 0x9000);
    DeviceList list = Load();
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(0x86u, list[0].Modified);
    ASSERT_EQ(1u, list[0].Tuners.size());
    EXPECT_EQ(0x9000u, list[0].Tuners[0].Modified);
    EXPECT_STREQ("host-b", list[0].Tuners[0].Owner);
    EXPECT_STREQ("10A0000D-0", list[0].Tuners[0].Id);
    EXPECT_STREQ("zx-single", list[0].Tuners[0].Model);
    EXPECT_STREQ("Zentrova Single", list[0].Tuners[0].Name);

    Save(list);
    EXPECT_EQ(NameSet({"Ip", "Name"}), ValueNames(HKEY_CURRENT_USER, box));
    EXPECT_EQ(NameSet({"Id", "Model", "Name"}), ValueNames(HKEY_CURRENT_USER, tuner));
    TunerInfo reloaded = LoadOneTuner();
    EXPECT_EQ(0u, reloaded.Modified);
    EXPECT_TRUE(IsEmptyField(reloaded.Owner));
}

TEST_F(DeviceStoreStoredData, WrongTypesReadAsEmptyOrZero) {
    TestRegistry::SetDword(HKEY_CURRENT_USER, box.c_str(), "Ip", 0x0A000002);
    TestRegistry::SetRaw(HKEY_CURRENT_USER, box.c_str(), "Name", REG_BINARY, "Zentrova@bin", 13);
    TestRegistry::SetString(HKEY_CURRENT_USER, box.c_str(), "Modified", "255");
    TestRegistry::SetRaw(HKEY_CURRENT_USER, tuner.c_str(), "Model", REG_MULTI_SZ, "zx\0\0", 4);
    TestRegistry::SetDword(HKEY_CURRENT_USER, tuner.c_str(), "Owner", 1);
    DWORD modified = 0x1000;
    TestRegistry::SetRaw(HKEY_CURRENT_USER, tuner.c_str(), "Modified", REG_BINARY, &modified, 4);
    DeviceInfo device = LoadOne();
    EXPECT_TRUE(IsEmptyField(device.Ip));
    EXPECT_TRUE(IsEmptyField(device.Name));
    EXPECT_EQ(0u, device.Modified);
    ASSERT_EQ(1u, device.Tuners.size());
    EXPECT_TRUE(IsEmptyField(device.Tuners[0].Model));
    EXPECT_TRUE(IsEmptyField(device.Tuners[0].Owner));
    EXPECT_EQ(0u, device.Tuners[0].Modified);
    EXPECT_STREQ("10A0000D-0", device.Tuners[0].Id);
}

TEST_F(DeviceStoreStoredData, EightByteModifiedReadsZero) {
    const unsigned long long wide = 0x80;
    TestRegistry::SetRaw(HKEY_CURRENT_USER, box.c_str(), "Modified", REG_DWORD, &wide, sizeof(wide));
    EXPECT_EQ(0u, LoadOne().Modified);
}

TEST_F(DeviceStoreStoredData, TextsTooLongForTheirFieldReadAsEmpty) {
    TestRegistry::SetString(HKEY_CURRENT_USER, box.c_str(), "Ip", std::string(20, '9'));
    TestRegistry::SetString(HKEY_CURRENT_USER, box.c_str(), "Name", std::string(80, 'x'));
    TestRegistry::SetString(HKEY_CURRENT_USER, tuner.c_str(), "Id", std::string(20, 'i'));
    TestRegistry::SetString(HKEY_CURRENT_USER, tuner.c_str(), "Model", std::string(4000, 'm'));
    TestRegistry::SetString(HKEY_CURRENT_USER, tuner.c_str(), "Name", std::string(80, 'n'));
    TestRegistry::SetString(HKEY_CURRENT_USER, tuner.c_str(), "Owner", std::string(5000, 'o'));
    DeviceInfo device = LoadOne();
    EXPECT_STREQ("10A0000D", device.Id);
    EXPECT_TRUE(IsEmptyField(device.Ip));
    EXPECT_TRUE(IsEmptyField(device.Name));
    ASSERT_EQ(1u, device.Tuners.size());
    const TunerInfo& loaded = device.Tuners[0];
    EXPECT_EQ(0, loaded.Index);
    EXPECT_TRUE(IsEmptyField(loaded.Id));
    EXPECT_TRUE(IsEmptyField(loaded.Model));
    EXPECT_TRUE(IsEmptyField(loaded.Name));
    EXPECT_TRUE(IsEmptyField(loaded.Owner));
}

TEST_F(DeviceStoreStoredData, LongestFittingTextsAreRead) {
    TestRegistry::SetString(HKEY_CURRENT_USER, box.c_str(), "Ip", std::string(19, '9'));
    TestRegistry::SetString(HKEY_CURRENT_USER, tuner.c_str(), "Owner", std::string(79, 'o'));
    DeviceInfo device = LoadOne();
    EXPECT_EQ(std::string(19, '9'), device.Ip);
    ASSERT_EQ(1u, device.Tuners.size());
    EXPECT_EQ(std::string(79, 'o'), device.Tuners[0].Owner);
}

TEST_F(DeviceStoreStoredData, TextsWithoutTerminatorReadAsEmpty) {
    SetUnterminated(box, "Ip", REG_SZ, "192.0.2.10");
    SetUnterminated(box, "Name", REG_SZ, "Zentrova@box");
    // Exactly the field's size, no room for a terminator at all.
    SetUnterminated(tuner, "Id", REG_SZ, "10A0000D-0-abcdefghi");
    SetUnterminated(tuner, "Owner", REG_EXPAND_SZ, "host-b");
    // The stored data really lacks the terminator.
    EXPECT_EQ("192.0.2.10", Raw(box, "Ip"));
    EXPECT_EQ("10A0000D-0-abcdefghi", Raw(tuner, "Id"));
    DeviceInfo device = LoadOne();
    EXPECT_TRUE(IsEmptyField(device.Ip));
    EXPECT_TRUE(IsEmptyField(device.Name));
    ASSERT_EQ(1u, device.Tuners.size());
    EXPECT_TRUE(IsEmptyField(device.Tuners[0].Id));
    EXPECT_TRUE(IsEmptyField(device.Tuners[0].Owner));
    EXPECT_STREQ("zx-single", device.Tuners[0].Model);
}

TEST_F(DeviceStoreStoredData, EmptyDataReadsAsEmpty) {
    TestRegistry::SetRaw(HKEY_CURRENT_USER, box.c_str(), "Name", REG_SZ, "", 0);
    EXPECT_TRUE(IsEmptyField(LoadOne().Name));
}

TEST_F(DeviceStoreStoredData, ExpandableTextIsReadUnexpanded) {
    TestRegistry::SetString(HKEY_CURRENT_USER, box.c_str(), "Name", "%SystemRoot%@%USERNAME%", REG_EXPAND_SZ);
    TestRegistry::SetString(HKEY_CURRENT_USER, tuner.c_str(), "Model", "%PATH%", REG_EXPAND_SZ);
    DeviceInfo device = LoadOne();
    EXPECT_STREQ("%SystemRoot%@%USERNAME%", device.Name);
    ASSERT_EQ(1u, device.Tuners.size());
    EXPECT_STREQ("%PATH%", device.Tuners[0].Model);
}

TEST_F(DeviceStoreStoredData, MissingValuesAndMissingTunersKey) {
    StoreBox(HKEY_CURRENT_USER, kDevices, "10A00012", "192.0.2.11", "Zentrova@bare");
    RegDeleteTreeA(HKEY_CURRENT_USER, (BoxPath("10A00012") + "\\Tuners").c_str());
    TestRegistry::SetString(HKEY_CURRENT_USER, (BoxPath("10A00012")).c_str(), "Name", "");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, tuner.c_str(), 0, KEY_ALL_ACCESS, &key));
    RegDeleteValueA(key, "Model");
    RegDeleteValueA(key, "Name");
    RegCloseKey(key);
    DeviceList list = Load();
    ASSERT_EQ(2u, list.size());
    ASSERT_EQ(1u, list[0].Tuners.size());
    EXPECT_TRUE(IsEmptyField(list[0].Tuners[0].Model));
    EXPECT_TRUE(IsEmptyField(list[0].Tuners[0].Name));
    EXPECT_STREQ("host-b", list[0].Tuners[0].Owner);
    EXPECT_STREQ("10A00012", list[1].Id);
    EXPECT_STREQ("192.0.2.11", list[1].Ip);
    EXPECT_TRUE(IsEmptyField(list[1].Name));
    EXPECT_TRUE(list[1].Tuners.empty());
}

TEST_F(DeviceStoreStoredData, BoxNamesOfTwentyCharactersStopTheEnumeration) {
    // Enumeration is in name order: "10A0000D", the 19-character name, the 20-character
    // name, then "Z..." which must not be read.
    std::string nineteen = "1B" + std::string(17, '0');
    std::string twenty = "1C" + std::string(18, '0');
    StoreBox(HKEY_CURRENT_USER, kDevices, nineteen.c_str(), "192.0.2.19", "n19");
    StoreBox(HKEY_CURRENT_USER, kDevices, twenty.c_str(), "192.0.2.20", "n20");
    StoreBox(HKEY_CURRENT_USER, kDevices, "ZZ000001", "192.0.2.30", "late");
    ASSERT_EQ(Names({"10A0000D", nineteen, twenty, "ZZ000001"}), SubkeyNames(HKEY_CURRENT_USER, kDevices));
    DeviceList list = Load();
    ASSERT_EQ(2u, list.size());
    EXPECT_STREQ("10A0000D", list[0].Id);
    EXPECT_EQ(nineteen, list[1].Id);
    EXPECT_STREQ("192.0.2.19", list[1].Ip);
    ASSERT_EQ(1u, list[1].Tuners.size());
}

TEST_F(DeviceStoreStoredData, TunerNamesOfTwentyCharactersStopTheEnumeration) {
    std::string tuners = box + "\\Tuners\\";
    TestRegistry::SetString(HKEY_CURRENT_USER, (tuners + std::string(20, '1')).c_str(), "Id", "long");
    TestRegistry::SetString(HKEY_CURRENT_USER, (tuners + "2").c_str(), "Id", "10A0000D-2");
    ASSERT_EQ(Names({"0", std::string(20, '1'), "2"}), SubkeyNames(HKEY_CURRENT_USER, box + "\\Tuners"));
    TunerInfo only = LoadOneTuner();
    EXPECT_EQ(0, only.Index);
    EXPECT_STREQ("10A0000D-0", only.Id);
}

TEST_F(DeviceStoreStoredData, TunerNamesWithLeadingZeroOrNoNumber) {
    RegDeleteTreeA(HKEY_CURRENT_USER, (box + "\\Tuners").c_str());
    std::string tuners = box + "\\Tuners\\";
    TestRegistry::SetString(HKEY_CURRENT_USER, (tuners + "007").c_str(), "Id", "10A0000D-7");
    TestRegistry::SetString(HKEY_CURRENT_USER, (tuners + "abc").c_str(), "Id", "10A0000D-abc");
    DeviceList list = Load();
    ASSERT_EQ(1u, list.size());
    ASSERT_EQ(2u, list[0].Tuners.size());
    EXPECT_EQ(7, list[0].Tuners[0].Index);
    EXPECT_STREQ("10A0000D-7", list[0].Tuners[0].Id);
    EXPECT_EQ(0, list[0].Tuners[1].Index);
    EXPECT_STREQ("10A0000D-abc", list[0].Tuners[1].Id);

    Save(list);
    EXPECT_EQ(Names({"0", "7"}), SubkeyNames(HKEY_CURRENT_USER, box + "\\Tuners"));
    EXPECT_EQ(Sz("10A0000D-7"), Raw(TunerPath("10A0000D", "7"), "Id"));
    EXPECT_EQ(Sz("10A0000D-abc"), Raw(TunerPath("10A0000D", "0"), "Id"));
}

// --- default user ---------------------------------------------------------------------

class DeviceStoreDefaultUser : public StoreFixture {};

TEST_F(DeviceStoreDefaultUser, LoadedWhenTheCurrentUserHasNoRootAndSavedUnderTheCurrentUser) {
    StoreBox(HKEY_USERS, kDefaultDevices, "1A2B3C46", "198.51.100.20", "Zentrova@default");
    DeviceList list;
    {
        CLogCapture capture;
        CStorage().LoadDevices(list);
        EXPECT_EQ(Lines(), WithoutPvrProbe(capture.Lines()));
    }
    ASSERT_EQ(1u, list.size());
    EXPECT_STREQ("1A2B3C46", list[0].Id);
    EXPECT_STREQ("198.51.100.20", list[0].Ip);
    EXPECT_STREQ("Zentrova@default", list[0].Name);
    ASSERT_EQ(1u, list[0].Tuners.size());
    EXPECT_STREQ("zx-single", list[0].Tuners[0].Model);

    Save(list);
    EXPECT_EQ(Sz("198.51.100.20"), Raw(BoxPath("1A2B3C46"), "Ip"));
    EXPECT_EQ(Sz("1A2B3C46-0"), Raw(TunerPath("1A2B3C46", "0"), "Id"));
    EXPECT_EQ(Names({"Devices"}), SubkeyNames(HKEY_USERS, kDefaultRoot));
    EXPECT_EQ(Names({"1A2B3C46"}), SubkeyNames(HKEY_USERS, kDefaultDevices));
}

TEST_F(DeviceStoreDefaultUser, CurrentUserRootWithoutDevicesDoesNotFallBack) {
    StoreBox(HKEY_USERS, kDefaultDevices, "1A2B3C46", "198.51.100.20", "Zentrova@default");
    TestRegistry::SetDword(HKEY_CURRENT_USER, kRoot, "Flags", 0);
    CLogCapture capture;
    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(Lines(), WithoutPvrProbe(capture.Lines()));
}

TEST_F(DeviceStoreDefaultUser, NeitherRootLogsAndLeavesTheListAlone) {
    DeviceList list;
    list.push_back(MakeDevice("10A0000D", "192.0.2.10", "kept"));
    CLogCapture capture;
    CStorage().LoadDevices(list);
    EXPECT_EQ(Lines({"Load from DEFAULT_USER failed!"}), WithoutPvrProbe(capture.Lines()));
    ASSERT_EQ(1u, list.size());
    EXPECT_STREQ("kept", list[0].Name);
}

TEST_F(DeviceStoreDefaultUser, DefaultRootWithoutDevicesLoadsNothingSilently) {
    TestRegistry::SetDword(HKEY_USERS, kDefaultRoot, "Flags", 1);
    CLogCapture capture;
    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(Lines(), WithoutPvrProbe(capture.Lines()));
}

// --- deletion ---------------------------------------------------------------------------

class DeviceStoreDeletion : public StoreFixture {};

TEST_F(DeviceStoreDeletion, DeleteKeyTreeRemovesEverythingBelowAndNothingBeside) {
    Save(SampleList());
    TestRegistry::SetString(HKEY_CURRENT_USER, (std::string(kRoot) + "\\Sibling\\Deep").c_str(), "v", "x");
    std::string deep = TunerPath("10A0000D", "0") + "\\a\\b\\c";
    TestRegistry::SetString(HKEY_CURRENT_USER, deep.c_str(), "v", "x");
    HKEY root = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kRoot, 0, KEY_ALL_ACCESS, &root));
    EXPECT_EQ(ERROR_SUCCESS, DeleteKeyTree(root, "Devices"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteKeyTree(root, "Devices"));
    RegCloseKey(root);
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kDevices));
    EXPECT_TRUE(TestRegistry::KeyExists(HKEY_CURRENT_USER, (std::string(kRoot) + "\\Sibling\\Deep").c_str()));
}

TEST_F(DeviceStoreDeletion, DeleteSubKeyRemovesOnlyALeaf) {
    TestRegistry::SetString(HKEY_CURRENT_USER, (std::string(kRoot) + "\\Parent\\Leaf").c_str(), "v", "x");
    HKEY root = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kRoot, 0, KEY_ALL_ACCESS, &root));
    EXPECT_NE(ERROR_SUCCESS, DeleteSubKey(root, "Parent"));
    EXPECT_TRUE(TestRegistry::KeyExists(HKEY_CURRENT_USER, (std::string(kRoot) + "\\Parent\\Leaf").c_str()));
    EXPECT_EQ(ERROR_SUCCESS, DeleteSubKey(root, "Parent\\Leaf"));
    EXPECT_EQ(ERROR_SUCCESS, DeleteSubKey(root, "Parent"));
    EXPECT_NE(ERROR_SUCCESS, DeleteSubKey(root, "Parent"));
    RegCloseKey(root);
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, (std::string(kRoot) + "\\Parent").c_str()));
}

// --- the store mutex --------------------------------------------------------------------

class DeviceStoreMutex : public StoreFixture {};

namespace {

DWORD WINAPI LoadOnThread(void* parameter) {
    CStorage().LoadDevices(*static_cast<DeviceList*>(parameter));
    return 0;
}

}  // namespace

TEST_F(DeviceStoreMutex, LoadWaitsWhileAnotherOwnerHoldsTheMutex) {
    Save(SampleList());
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kStoreMutexName);
    ASSERT_NE(nullptr, mutex);
    ASSERT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    DeviceList list;
    HANDLE thread = CreateThread(nullptr, 0, LoadOnThread, &list, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    // Still held: the load must not have run.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 500));
    EXPECT_TRUE(list.empty());
    ReleaseMutex(mutex);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, INFINITE));
    CloseHandle(thread);
    CloseHandle(mutex);
    EXPECT_EQ(2u, list.size());
}

TEST_F(DeviceStoreMutex, WorkGoesOnUnlockedWhenTheMutexCannotBeCreated) {
    // An event under the mutex's name makes CreateMutexA fail.
    HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, kStoreMutexName);
    ASSERT_NE(nullptr, squatter);
    ASSERT_EQ(nullptr, CreateMutexA(nullptr, FALSE, kStoreMutexName));
    Save(SampleList());
    EXPECT_EQ(2u, Load().size());
    StorageFlagsUpdate(0, 0x04);
    EXPECT_EQ(0x04u, StorageFlagsRead());
    CloseHandle(squatter);
}
