// UpdateDevices: the network search (no lock), then the rebuild of the list from the
// store with the boxes found merged in (under Lock).
#include "devices/HdhomerunLibrary.h"  // brings winsock2.h before windows.h

#include <strsafe.h>

#include <memory>

#include "app/Log.h"
#include "app/Names.h"
#include "app/Paths.h"
#include "app/Scoped.h"
#include "devices/Devices.h"
#include "devices/Discovery.h"
#include "devices/HostNames.h"
#include "store/Storage.h"

namespace {

constexpr const char kTraceName[] = "CDevices::UpdateDevices";
constexpr int kMaxSearchResults = 64;
// The tray's menu shows no more tuners per box than this, and a box that answers every
// model read would otherwise keep the probe going for ever.
constexpr int kMaxTunersPerBox = 256;
constexpr uint32_t kAnyTargetAddress = 0;
constexpr uint32_t kDeviceTypeTuner = 1;
constexpr uint32_t kAnyDeviceId = 0xFFFFFFFF;
constexpr size_t kVariableChars = 128;
constexpr const char kDevicesSection[] = "devices";
constexpr const char kUnknownOwner[] = "Unknown";

// Time budgets of one search. A read that has started cannot be cut short: it lasts up to
// the library's own time-outs, two attempts of 2.5 s at a box that connects and stays
// silent; so a read starts only while that much of its budget is left. Host-name look-ups
// come after the reads and spend a budget of their own, never the reads'.
constexpr ULONGLONG kSearchBudgetMs = 60000;  // the reads of the whole search
constexpr ULONGLONG kBoxBudgetMs = 15000;     // the reads of one box
constexpr ULONGLONG kSlowestReadMs = 5000;
// The look-ups after the reads; each resolver query is taken to last up to the time a
// resolver that gets no answer takes to give up, about 10 to 15 s on Windows and Linux.
constexpr ULONGLONG kLookupBudgetMs = 35000;
constexpr ULONGLONG kSlowestQueryMs = 15000;

bool TimeLeft(ULONGLONG deadline) { return GetTickCount64() + kSlowestReadMs <= deadline; }

struct DiscoverDeleter {
    decltype(&hdhomerun_discover_destroy) destroy;
    void operator()(hdhomerun_discover_t* search) const { destroy(search); }
};
using CScopedDiscover = std::unique_ptr<hdhomerun_discover_t, DiscoverDeleter>;

struct DeviceDeleter {
    decltype(&hdhomerun_device_destroy) destroy;
    void operator()(hdhomerun_device_t* device) const { destroy(device); }
};
using CScopedDevice = std::unique_ptr<hdhomerun_device_t, DeviceDeleter>;

// Windows Sockets for the length of one search; cleaned up on every way out.
class CWinsockSession {
public:
    CWinsockSession() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~CWinsockSession() {
        if (started_) WSACleanup();
    }
    CWinsockSession(const CWinsockSession&) = delete;
    CWinsockSession& operator=(const CWinsockSession&) = delete;

private:
    bool started_ = false;
};

// The reads of one open box, each started only while the box's deadline leaves room for
// it; once one could not start, none does.
class CBoxReader {
public:
    CBoxReader(const CHdhomerunLibrary& library, hdhomerun_device_t* device, ULONGLONG deadline)
        : library_(library), device_(device), deadline_(deadline) {}

    void SetTuner(int tuner) { library_.DeviceSetTuner(device_, static_cast<unsigned int>(tuner)); }

    // The value text of a variable, valid until the next read; null on failure.
    const char* Value(const char* format, int tuner) {
        char* value = nullptr;
        return Read(format, tuner, &value) ? value : nullptr;
    }

    bool Readable(const char* format, int tuner) { return Read(format, tuner, nullptr); }

    bool OutOfTime() const { return outOfTime_; }

private:
    bool Read(const char* format, int tuner, char** value) {
        if (outOfTime_ || !TimeLeft(deadline_)) {
            outOfTime_ = true;
            return false;
        }
        char path[kVariableChars];
        StringCchPrintfA(path, kVariableChars, format, tuner);
        return library_.DeviceGetVar(device_, path, value, nullptr) == 1;
    }

    const CHdhomerunLibrary& library_;
    hdhomerun_device_t* device_;
    ULONGLONG deadline_;
    bool outOfTime_ = false;
};

// The display name of the model from section "devices" of the configuration file, else
// the model text itself.
void MapTunerName(TunerInfo& tuner) {
    char iniFile[kPathChars];
    GetIniFilePath(iniFile);
    GetPrivateProfileStringA(kDevicesSection, tuner.Model, tuner.Model, tuner.Name, kNameChars, iniFile);
}

// Owner: the owner text (its host name is looked up after the reads); a tuner that
// nobody names is free when the box confirms its availability, else "Unknown". A read
// out of time counts as a failed one.
void ReadOwner(CBoxReader& reader, TunerInfo& tuner) {
    tuner.Owner[0] = '\0';
    const char* owner = reader.Value("/tuner%d/owner", tuner.Index);
    if (owner != nullptr) CopyOwnerText(owner, tuner.Owner);
    if (tuner.Owner[0] == '\0' && !reader.Readable("/tuner%d/available", tuner.Index))
        StringCchCopyA(tuner.Owner, kNameChars, kUnknownOwner);
}

// Reads tuner `index`; false when its model cannot be read (or the box's time does not
// allow it), which ends the box's tuners.
bool ProbeTuner(CBoxReader& reader, const DeviceInfo& box, int index, TunerInfo& tuner) {
    TraceMessage("%s: hdhomerun_device_set_tuner(id=%d)...", kTraceName, index);
    reader.SetTuner(index);
    tuner.Modified = ModifiedNewTuner;
    StringCchPrintfA(tuner.Id, kIdChars, "%s-%d", box.Id, index);
    tuner.Index = index;
    const char* model = reader.Value("/tuner%d/model", index);
    if (model == nullptr) return false;
    CopyModelText(model, tuner.Model);
    MapTunerName(tuner);
    ReadOwner(reader, tuner);
    return true;
}

void ProbeTuners(CBoxReader& reader, DeviceInfo& box) {
    for (int index = 0; index < kMaxTunersPerBox; ++index) {
        TunerInfo tuner;
        const bool read = ProbeTuner(reader, box, index, tuner);
        if (read) {
            box.Tuners.push_back(tuner);
            TraceMessage("%s: + tuner %s", kTraceName, tuner.Model);
        }
        if (reader.OutOfTime()) {
            LogMessage("%s: box %s out of time after %u tuners", kTraceName, box.Id,
                       static_cast<unsigned>(box.Tuners.size()));
            return;
        }
        if (!read) return;
    }
    LogMessage("%s: probe of box %s stopped at %d tuners", kTraceName, box.Id, kMaxTunersPerBox);
}

// The box record of one search result with its tuners; false when the box cannot be
// opened, or the search's time ran out before it could be, which leaves it out of the
// found list. An opened box stays, with the tuners its time allowed (none included).
bool ProbeBox(const CHdhomerunLibrary& library, const hdhomerun_discover_device_t& result, ULONGLONG searchDeadline,
              DeviceInfo& box) {
    box.Modified = ModifiedNewDevice;
    FormatDeviceId(result.device_id, box.Id);
    FormatDeviceIp(result.ip_addr, box.Ip);
    FormatDeviceName(box.Ip, box.Ip, box.Name);
    if (!TimeLeft(searchDeadline)) {
        LogMessage("%s: box %s out of time before it was opened", kTraceName, box.Id);
        return false;
    }
    CScopedDevice device(library.DeviceCreateFromStr(box.Id, nullptr), DeviceDeleter{library.DeviceDestroy});
    if (!device) {
        TraceMessage("%s: failed to create device %s", kTraceName, box.Id);
        return false;
    }
    const ULONGLONG boxDeadline = GetTickCount64() + kBoxBudgetMs;
    CBoxReader reader(library, device.get(), boxDeadline < searchDeadline ? boxDeadline : searchDeadline);
    ProbeTuners(reader, box);
    return true;
}

// The box's and its owners' host names where a look-up confirms one; the addresses and
// owner texts stay where none does or the budget allows none.
void LookUpNames(DeviceInfo& box, CLookupBudget& budget) {
    TraceMessage("%s: TryGetZentrovaHostName( ip:%s )...", kTraceName, box.Ip);
    char host[kNameChars];
    if (TryGetZentrovaHostName(box.Ip, host, budget)) FormatDeviceName(host, box.Ip, box.Name);
    for (TunerInfo& tuner : box.Tuners) {
        if (tuner.Owner[0] == '\0') continue;
        TraceMessage("%s: tuner user TryGetOwnerHostName( Owner:%s)...", kTraceName, tuner.Owner);
        char owner[kNameChars];
        if (TryGetOwnerHostName(owner, kNameChars, tuner.Owner, budget)) StringCchCopyA(tuner.Owner, kNameChars, owner);
    }
}

void LookUpAllNames(DeviceList& found) {
    CLookupBudget budget(kLookupBudgetMs, kSlowestQueryMs);
    for (DeviceInfo& box : found) {
        LookUpNames(box, budget);
        if (budget.Spent()) {
            LogMessage("%s: host-name look-ups out of time at box %s; it and the boxes after it keep addresses and "
                       "owner texts", kTraceName, box.Id);
            return;
        }
    }
}

// One search and the probe of every box it found, appended to `found` as they come; then
// the host names. The library's handles are released before Windows Sockets is cleaned
// up, so their sockets close while the stack still runs, both while the library is loaded.
void DiscoverBoxes(DeviceList& found) {
    const ULONGLONG searchDeadline = GetTickCount64() + kSearchBudgetMs;
    const CHdhomerunLibrary* library = CHdhomerunLibrary::Shared();
    if (library == nullptr) return;  // a search that cannot be made found nothing
    CWinsockSession winsock;
    CScopedDiscover search(library->DiscoverCreate(nullptr), DiscoverDeleter{library->DiscoverDestroy});
    hdhomerun_discover_device_t results[kMaxSearchResults] = {};
    // A search that cannot be set up is a search that found nothing.
    int count = search ? library->DiscoverFindDevices(search.get(), kAnyTargetAddress, kDeviceTypeTuner, kAnyDeviceId,
                                                      results, kMaxSearchResults)
                       : 0;
    TraceMessage("%s: %d devices", kTraceName, count);
    if (count > kMaxSearchResults) count = kMaxSearchResults;
    for (int position = 0; position < count; ++position) {
        DeviceInfo box;
        if (ProbeBox(*library, results[position], searchDeadline, box)) found.push_back(std::move(box));
    }
    LookUpAllNames(found);
}

// 0xFF when the store's force bit applies here, which it clears; else 0.
DWORD TakeForceBit(DWORD applicableFlags) {
    DWORD flags;
    {
        CNamedMutexHold mutex(kStoreMutexName);
        flags = StorageFlagsRead();
    }
    if ((flags & applicableFlags & FLAG_FORCE_UAC) == 0) return 0;
    StorageFlagsUpdate(FLAG_FORCE_UAC, 0);
    return ModifiedNewDevice;
}

}  // namespace

void FormatDeviceId(DWORD deviceId, char (&id)[kIdChars]) {
    StringCchPrintfA(id, kIdChars, "%08lX", static_cast<unsigned long>(deviceId));
}

void FormatDeviceIp(DWORD address, char (&ip)[kIdChars]) {
    StringCchPrintfA(ip, kIdChars, "%u.%u.%u.%u", static_cast<unsigned>((address >> 24) & 0xFF),
                     static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                     static_cast<unsigned>(address & 0xFF));
}

void FormatDeviceName(const char* host, const char* ip, char (&name)[kNameChars]) {
    // A cut host name would name some other host; the address form always fits and is
    // what the merge already knows to replace by a host name found later.
    if (SUCCEEDED(StringCchPrintfA(name, kNameChars, "%s@%s", kProductWord, host))) return;
    StringCchPrintfA(name, kNameChars, "%s@%s", kProductWord, ip);
}

void CopyModelText(const char* text, char (&model)[kIdChars]) {
    // Cut, not refused: the tuner is still there and usable. Every search cuts the same
    // text the same way, so the stored model equals the next search's and the merge
    // reports no change; the display name is mapped from the cut text, as stored.
    StringCchCopyA(model, kIdChars, text);
}

void CopyOwnerText(const char* text, char (&owner)[kNameChars]) {
    // The owner is shown, never looked up again or installed; its first 79 characters
    // still tell who holds the tuner, and an owner change alone calls for no install.
    StringCchCopyA(owner, kNameChars, text);
}

DWORD CDevices::UpdateDevices(bool detect) {
    DeviceList found;
    if (detect) {
        try {
            DiscoverBoxes(found);
        } catch (...) {
            // Out of memory in the middle of the search: the boxes gathered so far count.
        }
    }

    CCriticalSectionHold hold(Lock);
    ClearDevices();
    CStorage storage;
    storage.LoadDevices(Devices);
    if (found.empty()) return 0;
    DWORD changes = MergeDevices(found);
    storage.SaveDevices(Devices);
    changes |= TakeForceBit(storage.applicableFlags);
    if (changes & ModifiedNeedsInstall) StorageFlagsUpdate(0, FLAG_PENDING_INSTALL);
    return changes;
}
