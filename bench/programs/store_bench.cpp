// Times the registry store with the program's own code: SaveDevices and LoadDevices of a
// list of 64 boxes with 8 tuners each, each timed with QueryPerformanceCounter.
//
//   store_bench.exe [REPETITIONS] [BOXES] [TUNERS]     (defaults 200, 64, 8)
//
// Prints one JSON object: per operation the sorted samples' median, 10th and 90th
// percentile, minimum and maximum in milliseconds. Every load is compared with the list
// that was saved, so that a store which silently loads less cannot look fast.
#include <windows.h>
#include <strsafe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "devices/Records.h"
#include "store/Storage.h"

namespace {

DeviceList MakeList(int boxes, int tuners) {
    DeviceList list;
    for (int b = 0; b < boxes; ++b) {
        DeviceInfo device;
        StringCchPrintfA(device.Id, kIdChars, "10A%05X", b);
        StringCchPrintfA(device.Ip, kIdChars, "192.0.2.%d", 10 + b);
        StringCchPrintfA(device.Name, kNameChars, "Zentrova@bench-box-%02d", b);
        for (int t = 0; t < tuners; ++t) {
            TunerInfo tuner;
            tuner.Index = t;
            StringCchPrintfA(tuner.Id, kIdChars, "%s-%d", device.Id, t);
            StringCchCopyA(tuner.Model, kIdChars, "2040:5200:ofdm");
            StringCchCopyA(tuner.Name, kNameChars, "DVB-T tuner of the bench");
            device.Tuners.push_back(tuner);
        }
        list.push_back(device);
    }
    return list;
}

bool SameTexts(const DeviceList& saved, const DeviceList& loaded) {
    if (saved.size() != loaded.size()) return false;
    for (size_t b = 0; b < saved.size(); ++b) {
        const DeviceInfo& s = saved[b];
        const DeviceInfo& l = loaded[b];
        if (strcmp(s.Id, l.Id) != 0 || strcmp(s.Ip, l.Ip) != 0 || strcmp(s.Name, l.Name) != 0 ||
            s.Tuners.size() != l.Tuners.size())
            return false;
        for (size_t t = 0; t < s.Tuners.size(); ++t)
            if (s.Tuners[t].Index != l.Tuners[t].Index || strcmp(s.Tuners[t].Id, l.Tuners[t].Id) != 0 ||
                strcmp(s.Tuners[t].Model, l.Tuners[t].Model) != 0 || strcmp(s.Tuners[t].Name, l.Tuners[t].Name) != 0)
                return false;
    }
    return true;
}

class CStopwatch {
public:
    CStopwatch() { QueryPerformanceFrequency(&frequency_); }
    void Start() { QueryPerformanceCounter(&start_); }
    double ElapsedMs() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) * 1000.0 / static_cast<double>(frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_;
    LARGE_INTEGER start_ = {};
};

double Percentile(const std::vector<double>& sorted, double fraction) {
    size_t position = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(position, sorted.size() - 1)];
}

void PrintSummary(const char* name, std::vector<double> samples, bool last) {
    std::sort(samples.begin(), samples.end());
    printf("  \"%s\": {\"n\": %u, \"median_ms\": %.4f, \"p10_ms\": %.4f, \"p90_ms\": %.4f, \"min_ms\": %.4f, "
           "\"max_ms\": %.4f}%s\n",
           name, static_cast<unsigned>(samples.size()), Percentile(samples, 0.5), Percentile(samples, 0.1),
           Percentile(samples, 0.9), samples.front(), samples.back(), last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
    int repetitions = argc > 1 ? atoi(argv[1]) : 200;
    int boxes = argc > 2 ? atoi(argv[2]) : 64;
    int tuners = argc > 3 ? atoi(argv[3]) : 8;
    if (repetitions < 1 || boxes < 1 || tuners < 0) {
        fprintf(stderr, "usage: store_bench.exe [REPETITIONS] [BOXES] [TUNERS]\n");
        return 2;
    }
    const DeviceList list = MakeList(boxes, tuners);
    CStopwatch watch;
    std::vector<double> saves, loads, replaces, constructions;
    // Warm-up: the first save creates the keys from nothing.
    { CStorage storage; storage.SaveDevices(list); }
    for (int i = 0; i < repetitions; ++i) {
        watch.Start();
        CStorage storage;
        constructions.push_back(watch.ElapsedMs());

        watch.Start();
        storage.SaveDevices(list);  // replaces a stored list of the same size
        replaces.push_back(watch.ElapsedMs());

        DeviceList loaded;
        watch.Start();
        storage.LoadDevices(loaded);
        loads.push_back(watch.ElapsedMs());
        if (!SameTexts(list, loaded)) {
            fprintf(stderr, "repetition %d: the loaded list differs from the saved one\n", i);
            return 1;
        }

        storage.SaveDevices(DeviceList());  // so that the next save starts from no stored list
        watch.Start();
        storage.SaveDevices(list);
        saves.push_back(watch.ElapsedMs());
    }
    printf("{\n  \"boxes\": %d, \"tuners_per_box\": %d, \"repetitions\": %d,\n", boxes, tuners, repetitions);
    PrintSummary("CStorage()", constructions, false);
    PrintSummary("SaveDevices (no stored list)", saves, false);
    PrintSummary("SaveDevices (replacing the same list)", replaces, false);
    PrintSummary("LoadDevices", loads, true);
    printf("}\n");
    return 0;
}
