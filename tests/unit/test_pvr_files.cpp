// PVR source files of the 32-bit program while Vistello reads them, or something stands in the way.
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

}  // namespace
