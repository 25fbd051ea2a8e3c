// PVR source files of the 32-bit program: written byte for byte, past other readers, and
// removed for tuners no longer listed.
#include <gtest/gtest.h>

#include "UnitSupport.h"

namespace {

// Text mode: every line ends in CRLF; the declaration shares its line with <PVR3>.
std::string Sources(const std::string& box, int number, const std::string& tuner, const char* board, const char* type) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?><PVR3>\r\n  <SOURCES>\r\n    <SOURCE id=\"" + box + " " +
           std::to_string(number) + ": " + tuner + "\" progid=\"OstrelDevice." + board + "\">\r\n      <INPUT id=\"" +
           type + "\" url=\"DvbModes.xml\"/>\r\n    </SOURCE>\r\n  </SOURCES>\r\n</PVR3>\r\n";
}
// IsAvailable.device with `typeFile` false, else the tuner type's file.
std::string Device(const std::string& id, bool typeFile) {
    return "<FILTER id=\"Tuner\" instance=\"ORVA Tavrix " + id + "\" category=\"BDA Source Filters\"/>\r\n" +
           (typeFile ? "<DEFINE topologyfile=\"SingleTunerCapture.xgr\"/>\r\n" : "<DEVICE board=\"" + id + "\"/>\r\n");
}

struct ModelRow {
    const char *model, *type, *board;  // type nullptr: not supported, nothing written
};
const ModelRow kModels[] = {
    {"2040:5200:ofdm", "DVBTTuner", "Zentrova"}, {"8vsb", "ATSCTuner", "OrvaBrdA"},
    {"x:qam256", "DVBCTuner", "OrvaBrdD"},       {"qpsk", "DVBSTuner", "OrvaBrdB"},
    {"8psk", "DVBSTuner", "OrvaBrdC"},           {"qam 8vsb", "ATSCTuner", "OrvaBrdA"},  // the table's order wins
    {"8psk qpsk", "DVBSTuner", "OrvaBrdB"},      {"2040:5200:OFDM", nullptr, nullptr},   // case counts
};

TEST(PvrFiles, EveryModelGetsItsThreeFilesByteForByte) {
    CList32 list;
    const fs::path folder = PvrFolder() / "Zentrova 1A2B3C4D-1";
    for (const ModelRow& row : kModels) {
        SCOPED_TRACE(row.model);
        TunerInfo tuner = Tuner("1A2B3C4D", 1, row.model, "DVB \xE4");  // bytes above 0x7F pass unchanged
        EXPECT_EQ(row.type != nullptr, list.devices.PvrFiles(Box("1A2B3C4D", "Zentrova@box", {tuner}), tuner));
        if (row.type == nullptr) {
            EXPECT_FALSE(fs::exists(folder));
            continue;
        }
        const std::string typeFile = std::string(row.type) + ".device";
        EXPECT_EQ((std::set<std::string>{typeFile, "IsAvailable.device", "Sources.xml"}), Entries(folder));
        EXPECT_EQ(Sources("Zentrova@box", 2, "DVB \xE4", row.board, row.type), ReadBytes(folder / "Sources.xml"));
        EXPECT_EQ(Device("1A2B3C4D-1", false), ReadBytes(folder / "IsAvailable.device"));
        EXPECT_EQ(Device("1A2B3C4D-1", true), ReadBytes(folder / typeFile));
        fs::remove_all(folder);
    }
}

TEST(PvrFiles, FilesInUseAreRewrittenAndAFileInTheWayIsSkipped) {
    const char* const files[] = {"Sources.xml", "IsAvailable.device", "DVBTTuner.device"};
    const std::string fresh[] = {Sources("B", 1, "DVB-T", "Zentrova", "DVBTTuner"), Device("1A2B3C4D-0", false),
                                 Device("1A2B3C4D-0", true)};
    for (bool folderInPlace : {false, true}) {
        SCOPED_TRACE(folderInPlace ? "a folder in place of Sources.xml" : "Vistello reading, sharing read and write");
        CList32 list;
        const fs::path folder = PvrFolder() / "Zentrova 1A2B3C4D-0";
        fs::create_directories(folder / (folderInPlace ? "Sources.xml" : ""));
        std::vector<HANDLE> held;
        for (const char* file : files) {
            if (folderInPlace) break;
            std::ofstream(folder / file) << "stale";
            held.push_back(CreateFileA((folder / file).string().c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        }
        TunerInfo tuner = Tuner("1A2B3C4D", 0, "ofdm");
        EXPECT_TRUE(list.devices.PvrFiles(Box("1A2B3C4D", "B", {tuner}), tuner));
        for (HANDLE handle : held) CloseHandle(handle);
        for (size_t i = folderInPlace ? 1 : 0; i < 3; ++i) {
            EXPECT_EQ(fresh[i], ReadBytes(folder / files[i])) << files[i];
        }
    }
}

TEST(PvrFiles, FoldersOfUnlistedTunersAreRemovedWithTheirFiles) {
    CList32 list;
    TunerInfo kept = Tuner("10A0000D", 0, "ofdm"), dropped = Tuner("10A00012", 1, "qam");
    list.devices.Devices = {Box("10A0000D", "A", {kept})};
    ASSERT_TRUE(list.devices.PvrFiles(list.devices.Devices[0], kept));
    ASSERT_TRUE(list.devices.PvrFiles(Box("10A00012", "B", {dropped}), dropped));
    fs::create_directories(PvrFolder() / "Other Product");
    EXPECT_TRUE(list.devices.DeletePvrFolders());
    EXPECT_EQ((std::set<std::string>{"Other Product", "Zentrova 10A0000D-0"}), Entries(PvrFolder()));
    EXPECT_EQ(3u, Entries(PvrFolder() / "Zentrova 10A0000D-0").size());
}

}  // namespace
