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

// The PVR source folder swapped, between the check of an entry and the act on it, for one of
// links to `outside` (Wine cannot make a link through its API: the test's setup made them in the
// build folder). Its parent is swapped, as Wine renames no folder that is being listed, but does
// rename one with open entries, which Windows does not.
struct SwapRow {
    bool write;              // PvrFiles of the tuner, else the removal of all
    const char* tunerId;
    const char* swapBefore;  // the entry whose opening the swap precedes
};
const SwapRow kSwapRows[] = {
    {true, "1A2B3C4D-0", "\\Zentrova 1A2B3C4D-0"},               // the tuner folder: now a link
    {true, "1A2B3C4D-0", "\\Zentrova 1A2B3C4D-0\\Sources.xml"},  // held, its parent swapped
    {true, "1A2B3C4D-1", "\\Zentrova 1A2B3C4D-1\\Sources.xml"},  // the file: now a link
    {false, "1A2B3C4D-0", "\\Zentrova 1A2B3C4D-0"},
    {false, "1A2B3C4D-0", "\\Zentrova 1A2B3C4D-0\\Sources.xml"},
    {false, "1A2B3C4D-1", "\\Zentrova 1A2B3C4D-1\\Sources.xml"},
};
const SwapRow* swapRow = nullptr;
bool swapped = false;

fs::path SwapIn() {
    char build[MAX_PATH] = {};
    GetEnvironmentVariableA("TAVRIX_TEST_BUILD", build, MAX_PATH);
    return fs::path(build) / "unit-swap";
}

std::string SwapPlace() { return PvrFolder().parent_path().string(); }

void SwapSourceFolder(const char* path) {
    const std::string text(path), suffix(swapRow->swapBefore);
    if (swapped || text.size() < suffix.size() || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return;
    swapped = MoveFileA(SwapPlace().c_str(), (SwapPlace() + ".real").c_str()) &&
              MoveFileA(SwapIn().string().c_str(), SwapPlace().c_str());

}

TEST(PvrFiles, NothingOutsideIsTouchedWhenTheFolderIsSwappedForLinks) {
    ASSERT_TRUE(fs::exists(SwapIn() / "Sources")) << "the test's setup makes " << SwapIn();
    const fs::path outside = PvrFolder().parent_path().parent_path() / "outside";
    for (const SwapRow& row : kSwapRows) {
        SCOPED_TRACE(testing::Message() << (row.write ? "write " : "delete ") << row.tunerId << row.swapBefore);
        fs::create_directories(outside);
        for (const char* file : {"Sources.xml", "keep.txt"}) std::ofstream(outside / file) << "theirs";
        {
            CList32 list;
            TunerInfo tuners[] = {Tuner("1A2B3C4D", 0, "ofdm"), Tuner("1A2B3C4D", 1, "ofdm")};
            DeviceInfo box = Box("1A2B3C4D", "B", {tuners[0], tuners[1]});
            for (const TunerInfo& tuner : tuners) {
                if (!row.write) {
                    ASSERT_TRUE(list.devices.PvrFiles(box, tuner));
                }
            }
            swapRow = &row;
            swapped = false;
            TestHooks::SetBeforeEntryOpen(&SwapSourceFolder);
            if (row.write) {
                list.devices.PvrFiles(box, tuners[row.tunerId[9] - '0']);
            } else {
                EXPECT_FALSE(list.devices.DeletePvrFolders());
            }
            TestHooks::SetBeforeEntryOpen(nullptr);
            EXPECT_TRUE(swapped);
            if (swapped) {
                EXPECT_TRUE(MoveFileA(SwapPlace().c_str(), SwapIn().string().c_str()));
                EXPECT_TRUE(MoveFileA((SwapPlace() + ".real").c_str(), SwapPlace().c_str()));
            }
        }
        EXPECT_EQ((std::set<std::string>{"Sources.xml", "keep.txt"}), Entries(outside));
        EXPECT_EQ("theirstheirs", ReadBytes(outside / "Sources.xml") + ReadBytes(outside / "keep.txt"));
        fs::remove_all(outside);
    }
}
