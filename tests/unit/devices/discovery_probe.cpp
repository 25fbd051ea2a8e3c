// Test program for the end-to-end discovery tests: runs the program's own discovery
// code in-process (inside the simulated LAN's namespace) and prints what it saw as one
// JSON object, so that the change mask, which is never stored, can be checked too.
//
//   discovery_probe update detect|stored   change mask, the list, field bounds, Winsock state
//   discovery_probe boxhost ADDRESS...         TryGetZentrovaHostName, one result per address
//   discovery_probe ownerhost SIZE ADDRESS...  TryGetOwnerHostName with that size argument
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "devices/Devices.h"
#include "devices/HostNames.h"

namespace {

std::string Quote(const char* text, size_t size) {
    std::string out = "\"";
    for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

template <size_t N>
std::string Field(const char (&field)[N]) {
    return Quote(field, N);
}

// True when the text ends inside its field.
template <size_t N>
bool Terminated(const char (&field)[N]) {
    return memchr(field, '\0', N) != nullptr;
}

std::string Tuner(const TunerInfo& tuner, bool& bounded) {
    bounded = bounded && Terminated(tuner.Id) && Terminated(tuner.Model) && Terminated(tuner.Name) &&
              Terminated(tuner.Owner);
    char head[64];
    snprintf(head, sizeof(head), "{\"Modified\": %lu, \"Index\": %d, ", static_cast<unsigned long>(tuner.Modified),
             tuner.Index);
    return head + std::string("\"Id\": ") + Field(tuner.Id) + ", \"Model\": " + Field(tuner.Model) +
           ", \"Name\": " + Field(tuner.Name) + ", \"Owner\": " + Field(tuner.Owner) + "}";
}

std::string Device(const DeviceInfo& device, bool& bounded) {
    bounded = bounded && Terminated(device.Id) && Terminated(device.Ip) && Terminated(device.Name);
    char head[48];
    snprintf(head, sizeof(head), "{\"Modified\": %lu, ", static_cast<unsigned long>(device.Modified));
    std::string out = head + std::string("\"Id\": ") + Field(device.Id) + ", \"Ip\": " + Field(device.Ip) +
                      ", \"Name\": " + Field(device.Name) + ", \"Tuners\": [";
    for (size_t i = 0; i < device.Tuners.size(); ++i) out += (i ? ", " : "") + Tuner(device.Tuners[i], bounded);
    return out + "]}";
}

// A search leaves Windows Sockets as it found it: not started.
bool WinsockStarted() {
    if (WSACleanup() == 0) return true;
    return WSAGetLastError() != WSANOTINITIALISED;
}

int Update(bool detect) {
    CDevices devices;
    CDevicesLockLifetime lock(devices);
    DWORD mask = devices.UpdateDevices(detect);
    bool bounded = true;
    std::string list = "[";
    for (size_t i = 0; i < devices.Devices.size(); ++i) list += (i ? ", " : "") + Device(devices.Devices[i], bounded);
    list += "]";
    printf("{\"mask\": %lu, \"bounded\": %s, \"winsock_started\": %s, \"devices\": %s}\n",
           static_cast<unsigned long>(mask), bounded ? "true" : "false", WinsockStarted() ? "true" : "false",
           list.c_str());
    return 0;
}

// The look-ups run between the caller's WSAStartup and WSACleanup.
class CWinsock {
public:
    CWinsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~CWinsock() { WSACleanup(); }
};

// The result buffer sits between two guards, prefilled, so that a write past it or a
// write on failure shows.
struct GuardedName {
    char before[16];
    char name[kNameChars];
    char after[16];
};

void Prefill(GuardedName& buffer) {
    memset(buffer.before, 'B', sizeof(buffer.before));
    memset(buffer.name, '#', sizeof(buffer.name));
    buffer.name[kNameChars - 1] = '\0';
    memset(buffer.after, 'A', sizeof(buffer.after));
}

std::string LookupResult(bool ok, const GuardedName& buffer, int lastError) {
    bool guards = true;
    for (char c : buffer.before) guards = guards && c == 'B';
    for (char c : buffer.after) guards = guards && c == 'A';
    bool untouched = true;
    for (size_t i = 0; i + 1 < kNameChars; ++i) untouched = untouched && buffer.name[i] == '#';
    char flags[160];
    snprintf(flags, sizeof(flags), "\"untouched\": %s, \"guards\": %s, \"terminated\": %s, \"wsa_error\": %d}",
             untouched ? "true" : "false", guards ? "true" : "false", Terminated(buffer.name) ? "true" : "false",
             lastError);
    return std::string("{\"ok\": ") + (ok ? "true" : "false") + ", \"name\": " + Field(buffer.name) + ", " + flags;
}

template <typename LookUp>
int LookUpAll(int count, char** addresses, LookUp lookUp) {
    CWinsock winsock;
    std::string out = "[";
    for (int i = 0; i < count; ++i) {
        GuardedName buffer;
        Prefill(buffer);
        WSASetLastError(0);
        bool ok = lookUp(addresses[i], buffer.name);
        out += (i ? ", " : "") + LookupResult(ok, buffer, WSAGetLastError());
    }
    printf("%s]\n", out.c_str());
    return 0;
}

int BoxHosts(int count, char** addresses) {
    return LookUpAll(count, addresses,
                     [](const char* address, char* name) { return TryGetZentrovaHostName(address, name); });
}

int OwnerHosts(size_t size, int count, char** addresses) {
    return LookUpAll(count, addresses, [size](const char* address, char* name) {
        return TryGetOwnerHostName(name, size, address);
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "update") == 0) return Update(strcmp(argv[2], "detect") == 0);
    if (argc >= 2 && strcmp(argv[1], "boxhost") == 0) return BoxHosts(argc - 2, argv + 2);
    if (argc >= 3 && strcmp(argv[1], "ownerhost") == 0)
        return OwnerHosts(strtoul(argv[2], nullptr, 10), argc - 3, argv + 3);
    fprintf(stderr, "usage: discovery_probe update detect|stored | boxhost ADDRESS... | ownerhost SIZE ADDRESS...\n");
    return 2;
}
