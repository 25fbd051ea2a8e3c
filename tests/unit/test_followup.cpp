// The copy started after a job: which one, with which option and verb, hidden, and none
// while the previous one still runs. A probe stands in for both installed copies.
#include <gtest/gtest.h>

#include "UnitSupport.h"
#include "app/Jobs.h"

namespace {

// A 64-bit Common Files folder of its own, set before anything looks it up: in this 64-bit
// process the 32-bit copy's home is the real Common Files folder, so the two copies differ.
const char kCommon64[] = "C:\\tavrix-common64";
const int kCommon64Set = _putenv_s("CommonProgramW6432", kCommon64);

struct Launch {
    std::string file, verb;
    HANDLE process;
};
std::vector<Launch> launches;

BOOL WINAPI RecordAndLaunch(SHELLEXECUTEINFOA* record) {
    BOOL started = ShellExecuteExA(record);
    HANDLE process = nullptr;
    if (started) DuplicateHandle(GetCurrentProcess(), record->hProcess, GetCurrentProcess(), &process, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS);
    launches.push_back({record->lpFile, record->lpVerb ? record->lpVerb : "", process});
    return started;
}

std::string Copy(const std::string& base) { return base + "\\ORVA Systems\\Zentrova\\TavrixInstall.exe"; }

// The probe in place of an installed copy; the copy comes back afterwards.
struct CProbeCopy {
    explicit CProbeCopy(const std::string& base) : path(Copy(base)), saved(Copy(base) + ".saved") {
        fs::create_directories(path.parent_path());
        MoveFileA(path.string().c_str(), saved.string().c_str());
        fs::copy_file(fs::path(getenv("TAVRIX_TEST_BUILD")) / "programs" / "followup_probe.exe", path);
    }
    ~CProbeCopy() { fs::remove(path) && MoveFileA(saved.string().c_str(), path.string().c_str()); }
    fs::path path, saved;
};

struct FollowUpRow {
    bool exe64, admin;
    const char *option, *base, *verb;  // base: the Common Files folder of the copy started, or none
};

TEST(FollowUp, TheRightCopyIsStartedOnceHiddenWithTheOptionAndVerb) {
    ASSERT_EQ(0, kCommon64Set) << "CommonProgramW6432 not set";
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
    // Without administrator rights a copy leaves the work to the elevated one it starts; the
    // last row's 32-bit administrator starts the 64-bit copy as it is, with no verb.
    const FollowUpRow rows[] = {
        {true, false, "-i", kCommon64, "runas"}, {true, true, "-i", nullptr, nullptr},
        {false, false, "-r", common, "runas"},   {false, false, "-i", common, "runas"},
        {false, true, "-i", kCommon64, ""},
    };
    CProbeCopy copy64(kCommon64), copy32(common);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "TavrixProbeRelease");
    TestHooks::SetShellExecuteEx(&RecordAndLaunch);
    CList32 list;  // one stored tuner, and the folder of one that is not listed
    CStorage().SaveDevices({Box("10A0000D", "A", {Tuner("10A0000D", 0, "ofdm")})});
    fs::create_directories(PvrFolder() / "Zentrova 1A2B3C4D-0");
    for (const FollowUpRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
        TestHooks::SetExeBitness(row.exe64 ? 1 : 0);
        TestHooks::SetAdmin(row.admin ? 1 : 0);
        launches.clear();
        RunJob(row.option, list.devices);
        RunJob(row.option, list.devices);  // refused: the first copy still runs
        // Only the 32-bit administrator writes the PVR files itself; nobody removes the other folder.
        std::set<std::string> folders{"Zentrova 1A2B3C4D-0"};
        if (row.admin && !row.exe64) folders.insert("Zentrova 10A0000D-0");
        EXPECT_EQ(folders, Entries(PvrFolder()));
        ASSERT_EQ(row.base ? 1u : 0u, launches.size());
        if (!row.base) continue;
        EXPECT_EQ(Copy(row.base), launches[0].file);
        EXPECT_EQ(row.verb, launches[0].verb);
        SetEvent(release);
        DWORD exitCode = 0;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(launches[0].process, 30000));
        EXPECT_TRUE(GetExitCodeProcess(launches[0].process, &exitCode) && exitCode == DWORD(row.option[1]))
            << "the copy got another option, or was shown: " << exitCode;
        CloseHandle(launches[0].process);
        ResetEvent(release);
    }
    CStorage().SaveDevices(DeviceList());
    TestHooks::SetShellExecuteEx(nullptr);
    TestHooks::SetExeBitness(-1);
    TestHooks::SetAdmin(-1);
    CloseHandle(release);
}

}  // namespace
