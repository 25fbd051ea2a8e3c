#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <strsafe.h>

#include <algorithm>
#include <cstring>

#include "devices/HostNames.h"
#include "devices/Records.h"

namespace {

constexpr size_t kHostChars = 1025;
constexpr size_t kServiceChars = 32;
constexpr u_short kOwnerPort = 80;

// The forward record of `name` when it leads back to `address`: its first address, as
// dotted text, equals the address text exactly; else null.
const hostent* ConfirmingForwardRecord(const char* name, const char* address, CLookupBudget& budget) {
    if (!budget.MayStart()) return nullptr;
    const hostent* forward = gethostbyname(name);
    if (forward == nullptr || forward->h_addr_list == nullptr || forward->h_addr_list[0] == nullptr) return nullptr;
    in_addr first;
    memcpy(&first, forward->h_addr_list[0], sizeof(first));
    const char* text = inet_ntoa(first);
    if (text == nullptr || strcmp(text, address) != 0) return nullptr;
    return forward;
}

// A host name goes into the result whole or not at all: a cut name would name some
// other host (or none), while the caller's fallback, the address, is always true.
bool CopyWholeName(char* result, size_t size, const char* name) {
    if (FAILED(StringCchLengthA(name, size, nullptr))) return false;
    return SUCCEEDED(StringCchCopyA(result, size, name));
}

// Only text that the look-up's answer could equal: the dotted form inet_ntoa writes.
bool IsDottedAddress(const char* text) {
    in_addr binary;
    binary.s_addr = inet_addr(text);
    const char* dotted = inet_ntoa(binary);
    return dotted != nullptr && strcmp(dotted, text) == 0;
}

}  // namespace

bool TryGetZentrovaHostName(const char* address, char* result, CLookupBudget& budget) {
    if (!budget.MayStart()) return false;
    unsigned long binary = inet_addr(address);
    const hostent* reverse = gethostbyaddr(reinterpret_cast<const char*>(&binary), 4, AF_INET);
    if (reverse == nullptr || reverse->h_name == nullptr) return false;
    // The forward look-up reuses the thread's one record; keep the reverse name apart.
    char reverseName[kHostChars];
    if (!CopyWholeName(reverseName, kHostChars, reverse->h_name)) return false;
    const hostent* forward = ConfirmingForwardRecord(reverseName, address, budget);
    if (forward == nullptr || forward->h_name == nullptr) return false;
    // The thread's one record now holds the forward look-up: its official name is kept.
    return CopyWholeName(result, kNameChars, forward->h_name);
}

bool TryGetOwnerHostName(char* result, size_t size, const char* address, CLookupBudget& budget) {
    // Any other owner text is never confirmed, whatever a look-up said: none is spent on it.
    if (!IsDottedAddress(address) || !budget.MayStart()) return false;
    sockaddr_in owner = {};
    owner.sin_family = AF_INET;
    owner.sin_port = htons(kOwnerPort);
    owner.sin_addr.s_addr = inet_addr(address);
    char host[kHostChars];
    char service[kServiceChars];
    int status = getnameinfo(reinterpret_cast<const sockaddr*>(&owner), sizeof(owner), host, kHostChars, service,
                             kServiceChars, NI_NAMEREQD | NI_NUMERICSERV);
    WSASetLastError(status);
    if (status != 0) return false;
    if (ConfirmingForwardRecord(host, address, budget) == nullptr) return false;
    return CopyWholeName(result, std::min(size, kNameChars), host);
}
