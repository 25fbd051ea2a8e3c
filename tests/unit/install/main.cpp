// The program initialises COM on every thread that installs; so does the test runner.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

namespace {

constexpr char kDesktopName[] = "TavrixInstallTests";
constexpr char kChildVariable[] = "TAVRIX_INSTALL_TEST_DESKTOP";

// Tests run without an X display, where Wine gives a process no windows at all. Its null
// graphics driver gives real top-level windows and message delivery, but it is read when
// a desktop starts; so the tests run again in a child process on a desktop of their own,
// started after the driver was chosen. Returns the child's exit code, or -1 when the
// tests are to run in this process.
int RunOnOwnDesktop() {
    char value[64];
    if (GetEnvironmentVariableA("DISPLAY", value, sizeof(value)) != 0) return -1;
    if (GetEnvironmentVariableA(kChildVariable, value, sizeof(value)) != 0) return -1;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return -1;
    const char driver[] = "null";
    RegSetValueExA(key, "Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(driver), sizeof(driver));
    RegCloseKey(key);
    SetEnvironmentVariableA(kChildVariable, "1");

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<char*>(kDesktopName);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, GetCommandLineA(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
    int childResult = RunOnOwnDesktop();
    if (childResult >= 0) return childResult;
    ::testing::InitGoogleTest(&argc, argv);
    CoInitialize(nullptr);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
