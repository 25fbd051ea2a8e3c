// Dumps a registry key tree through the "A" functions, so that the benchmarks and the stress run
// see exactly what the program sees (reg.exe's export of a string without its terminator or of
// a 2-byte REG_DWORD is not byte-exact).
//
//   regtool.exe dump ROOT\PATH
//                        one JSON object: {"values": {name: [type, "hex"]}, "keys": {name: {...}}},
//                        or null when the key does not exist. ROOT is HKCU, HKLM, HKCR or HKU.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using ScopedKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

ScopedKey OpenKey(HKEY parent, const char* path) {
    HKEY key = nullptr;
    return ScopedKey(RegOpenKeyExA(parent, path, 0, KEY_READ, &key) == ERROR_SUCCESS ? key : nullptr);
}

bool SplitRoot(const std::string& path, HKEY& root, std::string& rest) {
    static const struct { const char* name; HKEY key; } roots[] = {
        {"HKCU", HKEY_CURRENT_USER}, {"HKLM", HKEY_LOCAL_MACHINE}, {"HKCR", HKEY_CLASSES_ROOT}, {"HKU", HKEY_USERS}};
    size_t slash = path.find('\\');
    std::string head = path.substr(0, slash);
    rest = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    for (const auto& entry : roots)
        if (_stricmp(head.c_str(), entry.name) == 0) {
            root = entry.key;
            return true;
        }
    return false;
}

void PrintJsonString(const char* text) {
    putchar('"');
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
        if (*c == '"' || *c == '\\')
            printf("\\%c", *c);
        else if (*c < 0x20 || *c >= 0x7F)
            printf("\\u%04x", *c);
        else
            putchar(*c);
    }
    putchar('"');
}

void DumpKey(HKEY key) {
    printf("{\"values\": {");
    std::vector<char> name(16384);
    std::vector<BYTE> data(1 << 20);
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, index, name.data(), &nameChars, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            break;
        if (index > 0) printf(", ");
        PrintJsonString(name.data());
        printf(": [%lu, \"", type);
        for (DWORD i = 0; i < size; ++i) printf("%02x", data[i]);
        printf("\"]");
    }
    printf("}, \"keys\": {");
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(key, index, name.data(), &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (index > 0) printf(", ");
        PrintJsonString(name.data());
        printf(": ");
        if (ScopedKey child = OpenKey(key, name.data()))
            DumpKey(child.get());
        else
            printf("null");
    }
    printf("}}");
}

}  // namespace

int main(int argc, char** argv) {
    HKEY root;
    std::string path;
    if (argc != 3 || strcmp(argv[1], "dump") != 0 || !SplitRoot(argv[2], root, path)) {
        fprintf(stderr, "usage: regtool.exe dump ROOT\\PATH\n");
        return 2;
    }
    if (ScopedKey key = OpenKey(root, path.c_str()))
        DumpKey(key.get());
    else
        printf("null");
    printf("\n");
    return 0;
}
