// Custom actions of the Zentrova packages: run an installed copy and wait for every copy it
// starts, and end the user's resident trays before the files go.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <strsafe.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "app/Scoped.h"

namespace {

constexpr DWORD kDefaultWaitSeconds = 300;  // as the packages set it
constexpr DWORD kLongestWaitSeconds = 3600;
constexpr DWORD kPollMs = 100;
constexpr size_t kDataChars = 1024;
constexpr size_t kLineChars = 1024;
constexpr char kWaitProperty[] = "ZENTROVA_WAIT_SECONDS";
constexpr DWORD kWaitAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kEndAccess = kWaitAccess | PROCESS_TERMINATE;
// How long an ended copy may take to go, so that its files are free when they are removed.
constexpr DWORD kEndWaitMs = 10000;
// As the tray names its window, one class per bitness.
constexpr const char* kTrayClasses[] = {"TavrixInstallClass32", "TavrixInstallClass64"};

// One line in the installer's log.
void Log(MSIHANDLE install, const char* format, ...) {
    char line[kLineChars];
    va_list arguments;
    va_start(arguments, format);
    HRESULT formatted = StringCchVPrintfA(line, kLineChars, format, arguments);
    va_end(arguments);
    if (FAILED(formatted) && formatted != STRSAFE_E_INSUFFICIENT_BUFFER) return;
    PMSIHANDLE record = MsiCreateRecord(0);
    if (record == 0) return;
    MsiRecordSetStringA(record, 0, line);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

// A property's value; false when it is missing or longer than the buffer.
template <size_t N>
bool ReadProperty(MSIHANDLE install, const char* name, char (&value)[N]) {
    DWORD size = N;
    value[0] = '\0';
    return MsiGetPropertyA(install, name, value, &size) == ERROR_SUCCESS && value[0] != '\0';
}

// The whole seconds of the first blank-separated field of `text` (the default when it is not a
// number, at most an hour); `rest` is what follows the blank.
DWORD ParseSeconds(const char* text, const char** rest) {
    const char* blank = strchr(text, ' ');
    const char* fieldEnd = blank != nullptr ? blank : text + strlen(text);
    if (rest != nullptr) *rest = blank != nullptr ? blank + 1 : fieldEnd;
    char* end = nullptr;
    unsigned long seconds = strtoul(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || end != fieldEnd) return kDefaultWaitSeconds;
    return static_cast<DWORD>(std::min<unsigned long>(seconds, kLongestWaitSeconds));
}

ULONGLONG CreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// Processes to wait for: some adopted by handle, and every process any of them starts, found
// by its parent's id. The handles keep those ids from being reused while we look; a process
// created before its supposed parent has a reused id as parent and is not ours.
class CProcessGroup {
public:
    // Takes over the handle; false when there is none or no room (the handle is then closed).
    bool Adopt(HANDLE process, DWORD id) {
        CScopedHandle owned(process);
        if (!owned.IsValid() || count_ == members_.size()) return false;
        Member& member = members_[count_++];
        member.created = CreationTime(process);
        member.id = id;
        member.handle.Reset(owned.Release());
        return true;
    }

    bool Contains(DWORD id) const { return Find(id) != nullptr; }

    // Adopts the children of members; true when it found any.
    bool AdoptChildren() {
        CScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot.IsValid()) return false;
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof(entry);
        bool found = false;
        for (BOOL more = Process32First(snapshot.Get(), &entry); more; more = Process32Next(snapshot.Get(), &entry)) {
            const Member* parent = Find(entry.th32ParentProcessID);
            if (parent == nullptr || Contains(entry.th32ProcessID)) continue;
            CScopedHandle child(OpenProcess(kEndAccess, FALSE, entry.th32ProcessID));
            if (!child.IsValid() || CreationTime(child.Get()) < parent->created) continue;
            found = Adopt(child.Release(), entry.th32ProcessID) || found;
        }
        return found;
    }

    // The first member that still runs, or null.
    HANDLE Running() const {
        for (size_t i = 0; i < count_; ++i) {
            if (WaitForSingleObject(members_[i].handle.Get(), 0) == WAIT_TIMEOUT) return members_[i].handle.Get();
        }
        return nullptr;
    }

    // The program files of the members that still run, separated by "; ", as far as they fit.
    void DescribeRunning(char* text, size_t chars) const {
        text[0] = '\0';
        for (size_t i = 0; i < count_; ++i) {
            char path[MAX_PATH];
            if (!StillRunning(members_[i], path)) continue;
            if (text[0] != '\0') StringCchCatA(text, chars, "; ");
            StringCchCatA(text, chars, path);
        }
    }

    // Ends every member that still runs, with one line each in the log, and waits until it has
    // gone, so that none holds a file or a lock when the installation goes on.
    void EndRunning(MSIHANDLE install, DWORD seconds) {
        for (size_t i = 0; i < count_; ++i) {
            char path[MAX_PATH];
            if (!StillRunning(members_[i], path)) continue;
            HANDLE process = members_[i].handle.Get();
            const bool ended =
                TerminateProcess(process, ERROR_TIMEOUT) && WaitForSingleObject(process, kEndWaitMs) == WAIT_OBJECT_0;
            Log(install, "Zentrova: after %lu s still running: %s (process %lu); %s", seconds, path, members_[i].id,
                ended ? "ended" : "cannot be ended");
        }
    }

    // Waits until no member runs and none has started another, at most `seconds`; false when
    // the time ran out. `follow` adopts the children of members as they appear.
    bool WaitForEnd(DWORD seconds, bool follow) {
        ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
        for (;;) {
            // Checked before the search: a child started before its parent ended is then found.
            HANDLE running = Running();
            bool found = follow && AdoptChildren();
            if (running == nullptr && !found) return true;
            ULONGLONG now = GetTickCount64();
            if (now >= deadline) return false;
            if (running == nullptr) continue;
            WaitForSingleObject(running, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kPollMs)));
        }
    }

private:
    struct Member {
        CScopedHandle handle;
        DWORD id = 0;
        ULONGLONG created = 0;
    };

    // True, with the program file in `path`, when the member still runs.
    static bool StillRunning(const Member& member, char (&path)[MAX_PATH]) {
        DWORD size = MAX_PATH;
        if (WaitForSingleObject(member.handle.Get(), 0) != WAIT_TIMEOUT) return false;
        if (!QueryFullProcessImageNameA(member.handle.Get(), 0, path, &size)) StringCchCopyA(path, MAX_PATH, "?");
        return true;
    }

    const Member* Find(DWORD id) const {
        for (size_t i = 0; i < count_; ++i) {
            if (members_[i].id == id) return &members_[i];
        }
        return nullptr;
    }

    std::array<Member, 64> members_;
    size_t count_ = 0;
};

void LogStillRunning(MSIHANDLE install, const CProcessGroup& group, const char* what, DWORD seconds) {
    char running[kLineChars / 2];
    group.DescribeRunning(running, sizeof(running));
    Log(install, "Zentrova: %s: after %lu s still running: %s; the installation goes on", what, seconds, running);
}

}  // namespace

// Deferred: CustomActionData is "SECONDS COMMANDLINE". Runs the command line and waits until it
// and every copy it started (the follow-up chain) have ended, at most SECONDS; then ends those
// still running: left, a copy that waits for ever (for a lock another user holds, say) would run
// on as the system account and keep its file from being removed. The result of the copy is not
// ours to judge: the action always succeeds.
extern "C" UINT __stdcall RunCopy(MSIHANDLE install) {
    char data[kDataChars];
    if (!ReadProperty(install, "CustomActionData", data)) {
        Log(install, "Zentrova: no command line to run");
        return ERROR_SUCCESS;
    }
    const char* command = nullptr;
    DWORD seconds = ParseSeconds(data, &command);
    char commandLine[kDataChars];
    if (FAILED(StringCchCopyA(commandLine, kDataChars, command))) return ERROR_SUCCESS;
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        Log(install, "Zentrova: cannot start %s (error %lu)", command, GetLastError());
        return ERROR_SUCCESS;
    }
    CScopedHandle thread(started.hThread);
    CProcessGroup group;
    group.Adopt(started.hProcess, started.dwProcessId);
    if (!group.WaitForEnd(seconds, true)) {
        // A copy may have started another just before it was ended: that one goes too.
        do group.EndRunning(install, seconds);
        while (group.AdoptChildren());
    }
    return ERROR_SUCCESS;
}

// Immediate, so that it runs as the installing user in the user's session: ends each resident
// tray on the user's desktop the way its Exit command does (WM_DESTROY to its window) and waits
// for it, at most ZENTROVA_WAIT_SECONDS, so that no file of ours is in use when the files go.
// A deferred action that is not impersonated runs as the system account in session 0 on Windows
// and sees no user's window; Wine runs every action as the user and does not show the difference.
extern "C" UINT __stdcall EndTrays(MSIHANDLE install) {
    char value[16];
    DWORD seconds = ReadProperty(install, kWaitProperty, value) ? ParseSeconds(value, nullptr) : kDefaultWaitSeconds;
    CProcessGroup trays;
    for (const char* windowClass : kTrayClasses) {
        for (HWND window = FindWindowExA(nullptr, nullptr, windowClass, nullptr); window != nullptr;
             window = FindWindowExA(nullptr, window, windowClass, nullptr)) {
            DWORD id = 0;
            GetWindowThreadProcessId(window, &id);
            if (id == 0 || trays.Contains(id)) continue;
            if (!PostMessageA(window, WM_DESTROY, 0, 0)) {
                Log(install, "Zentrova: the resident tray %s (process %lu) cannot be reached", windowClass, id);
                continue;
            }
            Log(install, "Zentrova: ending the resident tray %s (process %lu)", windowClass, id);
            trays.Adopt(OpenProcess(kWaitAccess, FALSE, id), id);
        }
    }
    if (!trays.WaitForEnd(seconds, false)) LogStillRunning(install, trays, "a resident tray", seconds);
    return ERROR_SUCCESS;
}
