// The copy started after a job: which one, with which option and verb, hidden, and none
// while the previous one still runs. A probe program stands in for both installed copies.
#include <gtest/gtest.h>

#include <cstdlib>

#include "UnitSupport.h"
#include "app/Privileges.h"

namespace {

// A 64-bit Common Files folder of its own, set before anything looks it up: in this 64-bit
// process the 32-bit home is the real Common Files folder, so the two copies differ.
const char kCommon64[] = "C:\\tavrix-common64";
const int kCommon64Set = _putenv_s("CommonProgramW6432", kCommon64);

struct Launch {
    std::string verb;
    HANDLE process;
};
std::vector<Launch> launches;

BOOL WINAPI RecordAndLaunch(SHELLEXECUTEINFOA* record) {
    BOOL started = ShellExecuteExA(record);
    HANDLE process = nullptr;
    if (started)
        DuplicateHandle(GetCurrentProcess(), record->hProcess, GetCurrentProcess(), &process, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    launches.push_back({record->lpVerb != nullptr ? record->lpVerb : "", process});
    return started;
}

std::string Home(const std::string& base) { return base + "\\ORVA Systems\\Zentrova\\TavrixInstall.exe"; }

// The probe in place of an installed copy, the copy put back afterwards.
class CProbeCopy {
public:
    explicit CProbeCopy(const std::string& path) : path_(path), saved_(path + ".saved") {
        fs::create_directories(fs::path(path).parent_path());
        MoveFileA(path_.c_str(), saved_.c_str());
        char build[MAX_PATH] = {};
        GetEnvironmentVariableA("TAVRIX_TEST_BUILD", build, MAX_PATH);
        CopyFileA((std::string(build) + "\\programs\\followup_probe.exe").c_str(), path_.c_str(), FALSE);
    }
    ~CProbeCopy() {
        DeleteFileA(path_.c_str());
        MoveFileA(saved_.c_str(), path_.c_str());
    }

private:
    std::string path_, saved_;
};

struct FollowUpRow {
    bool exe64;
    bool admin;
    const char* option;
    const char* base;  // Common Files folder of the copy started; nullptr: none
    const char* verb;
};

TEST(FollowUp, TheRightCopyIsStartedOnceWithTheOptionAndVerb) {
    ASSERT_EQ(0, kCommon64Set);
    char common[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common);
    const FollowUpRow rows[] = {
        {true, false, "-i", kCommon64, "runas"}, {true, true, "-i", nullptr, nullptr},
        {false, true, "-r", kCommon64, ""},  // the 64-bit copy completes the work of a 32-bit administrator
        {false, false, "-r", common, "runas"},
    };
    CProbeCopy copy64(Home(kCommon64)), copy32(Home(common));
    const fs::path probeLog = fs::temp_directory_path() / "tavrix-probe.log";
    fs::remove(probeLog);
    SetEnvironmentVariableA("TAVRIX_PROBE_LOG", probeLog.string().c_str());
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "TavrixProbeRelease");
    TestHooks::SetShellExecuteEx(&RecordAndLaunch);
    size_t started = 0;
    for (const FollowUpRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
        TestHooks::SetExeBitness(row.exe64 ? 1 : 0);
        launches.clear();
        StartFollowUp(row.admin, row.option);
        StartFollowUp(row.admin, row.option);  // refused while the first copy runs
        if (row.base == nullptr) {
            EXPECT_TRUE(launches.empty());
            continue;
        }
        ASSERT_EQ(1u, launches.size());
        EXPECT_EQ(row.verb, launches[0].verb);
        std::string seen;
        for (int wait = 0; wait < 600 && seen.empty(); ++wait, Sleep(100)) {
            std::string text = ReadBytes(probeLog);
            size_t lines = std::count(text.begin(), text.end(), '\n');
            if (lines > started) seen = text.substr(text.rfind('\n', text.size() - 2) + 1);
        }
        ++started;
        EXPECT_EQ(Home(row.base) + "|" + row.option + "|show=0\r\n", seen);
        SetEvent(release);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(launches[0].process, 30000));
        CloseHandle(launches[0].process);
        ResetEvent(release);
    }
    TestHooks::SetShellExecuteEx(nullptr);
    TestHooks::SetExeBitness(-1);
    CloseHandle(release);
}

}  // namespace
