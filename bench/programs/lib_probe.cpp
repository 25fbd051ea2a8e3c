// The library floor of the jobs benchmark: libhdhomerun.dll beside this program, driven with the
// calls the program makes, in one process.
//   bench_lib_probe.exe ID...   one search (hdhomerun_discover_find_devices_v2), then per id: open
//                               by id, set_tuner(n), the model and owner reads and, without an owner
//                               text, the available read, until a model read fails; close.
// Prints one JSON line: seconds of the whole sequence and of the search alone, boxes found, tuners read.
#include "hdhomerun.h"

#include <cstdio>

namespace {

constexpr int kMaxDevices = 64;

double Seconds(const LARGE_INTEGER& from) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int Discover() {
    hdhomerun_discover_t* ds = hdhomerun_discover_create(nullptr);
    static hdhomerun_discover_device_t devices[kMaxDevices];
    const int count = hdhomerun_discover_find_devices_v2(ds, 0, HDHOMERUN_DEVICE_TYPE_TUNER,
                                                         HDHOMERUN_DEVICE_ID_WILDCARD, devices, kMaxDevices);
    hdhomerun_discover_destroy(ds);
    return count;
}

bool Read(hdhomerun_device_t* hd, const char* format, int tuner, char** value) {
    char name[32];
    snprintf(name, sizeof name, format, tuner);
    return hdhomerun_device_get_var(hd, name, value, nullptr) == 1;
}

int Scan(const char* id) {
    hdhomerun_device_t* hd = hdhomerun_device_create_from_str(id, nullptr);
    if (hd == nullptr) return 0;
    int n = 0;
    for (char* value = nullptr; n < kMaxDevices; ++n) {
        hdhomerun_device_set_tuner(hd, n);
        if (!Read(hd, "/tuner%d/model", n, &value)) break;
        // Availability is asked only of a tuner that nobody names.
        if (!Read(hd, "/tuner%d/owner", n, &value) || value[0] == '\0') Read(hd, "/tuner%d/available", n, nullptr);
    }
    hdhomerun_device_destroy(hd);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const int found = Discover();
    const double search = Seconds(start);
    int tuners = 0;
    for (int i = 1; i < argc; ++i) tuners += Scan(argv[i]);
    printf("{\"seconds\": %.6f, \"search_seconds\": %.6f, \"found\": %d, \"tuners\": %d}\n", Seconds(start), search,
           found, tuners);
    WSACleanup();
    return 0;
}
