// What discovery writes into the fixed-size record fields, whatever a box reports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "devices/Discovery.h"

namespace {

// A record whose fields around the one under test hold known texts: a write past the
// field under test lands in the next field and shows there.
TunerInfo TunerWithMarkers() {
    TunerInfo tuner;
    strcpy(tuner.Id, "ID-MARK");
    strcpy(tuner.Model, "MODEL-MARK");
    strcpy(tuner.Name, "NAME-MARK");
    strcpy(tuner.Owner, "OWNER-MARK");
    return tuner;
}

// For the last field of a record: a name field with a marked tail behind it.
struct GuardedName {
    char name[kNameChars] = {};
    char after[16] = "AFTER-MARK";
};

DeviceInfo DeviceWithMarkers() {
    DeviceInfo device;
    strcpy(device.Id, "ID-MARK");
    strcpy(device.Ip, "IP-MARK");
    strcpy(device.Name, "NAME-MARK");
    return device;
}

TEST(DiscoveryIds, DeviceIdIsEightUpperCaseHexDigits) {
    DeviceInfo device;
    FormatDeviceId(0x10A0000D, device.Id);
    EXPECT_STREQ("10A0000D", device.Id);
    FormatDeviceId(0x1A2B3C46, device.Id);
    EXPECT_STREQ("1A2B3C46", device.Id);
    FormatDeviceId(0xABC, device.Id);
    EXPECT_STREQ("00000ABC", device.Id);
    FormatDeviceId(0xFFFFFFFF, device.Id);
    EXPECT_STREQ("FFFFFFFF", device.Id);
}

TEST(DiscoveryIds, AddressIsDottedMostSignificantByteFirstWithoutLeadingZeros) {
    DeviceInfo device = DeviceWithMarkers();
    FormatDeviceIp(0xC000020A, device.Ip);
    EXPECT_STREQ("192.0.2.10", device.Ip);
    FormatDeviceIp(0x01020304, device.Ip);
    EXPECT_STREQ("1.2.3.4", device.Ip);
    FormatDeviceIp(0xFFFFFFFF, device.Ip);
    EXPECT_STREQ("255.255.255.255", device.Ip);
    FormatDeviceIp(0, device.Ip);
    EXPECT_STREQ("0.0.0.0", device.Ip);
    EXPECT_STREQ("NAME-MARK", device.Name);
}

TEST(DiscoveryBoxName, ProductWordAtHost) {
    DeviceInfo device;
    FormatDeviceName("box-a", "192.0.2.10", device.Name);
    EXPECT_STREQ("Zentrova@box-a", device.Name);
    FormatDeviceName("192.0.2.11", "192.0.2.11", device.Name);
    EXPECT_STREQ("Zentrova@192.0.2.11", device.Name);
}

TEST(DiscoveryBoxName, LongestHostThatFitsIsKeptWhole) {
    // "Zentrova@" is 9 characters: 70 more fill the 80-character field with its terminator.
    std::string host(70, 'h');
    DeviceInfo device;
    FormatDeviceName(host.c_str(), "192.0.2.10", device.Name);
    EXPECT_EQ("Zentrova@" + host, device.Name);
}

TEST(DiscoveryBoxName, HostThatWouldBeCutGivesTheAddressForm) {
    for (size_t length : {71u, 79u, 200u}) {
        std::string host(length, 'h');
        GuardedName guarded;
        FormatDeviceName(host.c_str(), "192.0.2.10", guarded.name);
        EXPECT_STREQ("Zentrova@192.0.2.10", guarded.name) << length;
        EXPECT_STREQ("AFTER-MARK", guarded.after);
    }
}

TEST(DiscoveryModel, ShortModelIsCopiedAsIs) {
    TunerInfo tuner = TunerWithMarkers();
    CopyModelText("2040:5200:ofdm", tuner.Model);
    EXPECT_STREQ("2040:5200:ofdm", tuner.Model);
    CopyModelText("", tuner.Model);
    EXPECT_STREQ("", tuner.Model);
    std::string nineteen(19, 'm');
    CopyModelText(nineteen.c_str(), tuner.Model);
    EXPECT_EQ(nineteen, tuner.Model);
}

TEST(DiscoveryModel, LongModelIsCutAtTheFieldAndNothingBeyondIsTouched) {
    std::string longModel = "0123456789abcdefghij" + std::string(280, 'z');
    TunerInfo tuner = TunerWithMarkers();
    CopyModelText(longModel.c_str(), tuner.Model);
    EXPECT_STREQ("0123456789abcdefghi", tuner.Model);
    EXPECT_STREQ("NAME-MARK", tuner.Name);
    EXPECT_STREQ("ID-MARK", tuner.Id);
}

TEST(DiscoveryModel, TwoSearchesCutTheSameTextToTheSameModel) {
    // The stored model must equal the next search's model, or every search would
    // report a changed model and install again.
    std::string longModel = "dvbt-with-a-very-long-model-text";
    TunerInfo first, second;
    CopyModelText(longModel.c_str(), first.Model);
    CopyModelText(longModel.c_str(), second.Model);
    EXPECT_STREQ(first.Model, second.Model);
    EXPECT_EQ(19u, strlen(first.Model));
}

TEST(DiscoveryOwner, OwnerTextIsCopiedOrCutAtTheField) {
    TunerInfo tuner = TunerWithMarkers();
    CopyOwnerText("somebody", tuner.Owner);
    EXPECT_STREQ("somebody", tuner.Owner);

    std::string longOwner = std::string(79, 'o') + std::string(300, 'X');
    GuardedName guarded;
    CopyOwnerText(longOwner.c_str(), guarded.name);
    EXPECT_EQ(std::string(79, 'o'), guarded.name);
    EXPECT_STREQ("AFTER-MARK", guarded.after);
}

}  // namespace
