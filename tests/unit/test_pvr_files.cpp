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

// The PVR source folder swapped, between the check of an entry and the act on it, for one of links
// to PVR\outside that the test's setup made (Wine cannot make a link through its API). Its parent is
// swapped: Wine renames no folder while it is listed (yet one whose entries are open, unlike Windows).
// PvrFiles of the tuner, else the removal of all; the swap comes before that entry is opened; or the
// held tuner folder is to be swapped, which must fail.
struct SwapRow { bool write; int tuner; const char* swapBefore; bool held; };
const SwapRow kSwapRows[] = {
    {true, 0, "Zentrova 1A2B3C4D-0", false},               // the tuner folder is a link then
    {true, 0, "Zentrova 1A2B3C4D-0\\Sources.xml", false},  // held, behind a link then
    {true, 1, "Zentrova 1A2B3C4D-1\\Sources.xml", false},  // the file is a link then
    {false, 0, "Zentrova 1A2B3C4D-0", false},
    {false, 0, "Zentrova 1A2B3C4D-0\\Sources.xml", false},
    {false, 1, "Zentrova 1A2B3C4D-1\\Sources.xml", false},
    {true, 0, "Zentrova 1A2B3C4D-0\\Sources.xml", true},
};
const SwapRow* swapRow = nullptr;
bool swapped = false;

std::string Incoming(bool held) {
    char build[MAX_PATH] = {};
    GetEnvironmentVariableA("TAVRIX_TEST_BUILD", build, MAX_PATH);
    return std::string(build) + (held ? "\\unit-swap\\Sources\\Zentrova 1A2B3C4D-1" : "\\unit-swap");
}

std::string Place(bool held) { return (held ? PvrFolder() / "Zentrova 1A2B3C4D-0" : PvrFolder().parent_path()).string(); }

bool Exchange(const std::string& place, const std::string& aside, const std::string& incoming) {
    return MoveFileA(place.c_str(), aside.c_str()) && MoveFileA(incoming.c_str(), place.c_str());
}

void SwapBefore(const char* path) {
    if (swapRow == nullptr || (PvrFolder() / swapRow->swapBefore).string() != path) return;
    swapped = Exchange(Place(swapRow->held), Place(swapRow->held) + ".real", Incoming(swapRow->held));
    swapRow = nullptr;
}

TEST(PvrFiles, NothingOutsideIsTouchedWhenTheFolderIsSwappedForLinks) {
    ASSERT_TRUE(fs::exists(Incoming(true))) << "the test's setup makes " << Incoming(true);
    const fs::path outside = PvrFolder().parent_path().parent_path() / "outside";
    const TunerInfo tuners[] = {Tuner("1A2B3C4D", 0, "ofdm"), Tuner("1A2B3C4D", 1, "ofdm")};
    const DeviceInfo box = Box("1A2B3C4D", "B", {tuners[0], tuners[1]});
    TestHooks::SetBeforeEntryOpen(&SwapBefore);
    for (const SwapRow& row : kSwapRows) {
        SCOPED_TRACE(testing::Message() << (row.write ? "write" : "delete") << ", swapped before " << row.swapBefore);
        fs::create_directories(outside);
        for (const char* file : {"Sources.xml", "keep.txt"}) std::ofstream(outside / file) << "theirs";
        {
            CList32 list;
            for (int n = 0; n < 2 && !row.write; ++n) list.devices.PvrFiles(box, tuners[n]);
            swapRow = &row;
            swapped = false;
            EXPECT_TRUE(row.write ? list.devices.PvrFiles(box, tuners[row.tuner]) : !list.devices.DeletePvrFolders());
            EXPECT_EQ(!row.held, swapped);
            EXPECT_TRUE(!swapped || Exchange(Place(row.held), Incoming(row.held), Place(row.held) + ".real"));
        }
        EXPECT_EQ((std::set<std::string>{"Sources.xml", "keep.txt"}), Entries(outside));
        EXPECT_EQ("theirstheirs", ReadBytes(outside / "Sources.xml") + ReadBytes(outside / "keep.txt"));
        fs::remove_all(outside);
    }
    TestHooks::SetBeforeEntryOpen(nullptr);
}

}  // namespace
