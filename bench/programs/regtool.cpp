// Registry tool for tests and the stress run: writes values of any type and size, and dumps
// a key tree, both through the "A" functions, so that both see exactly what the program sees.
// (reg.exe cannot write a 2-byte REG_DWORD or a string without its terminator, and its
// export of odd values is not byte-exact.)
//
//   regtool.exe set      lines on stdin: ROOT\PATH <TAB> NAME <TAB> TYPE <TAB> HEX
//                        TYPE is a decimal registry type; HEX the data bytes ("" for none);
//                        a line with only ROOT\PATH creates the key; "-" as TYPE deletes the value.
//   regtool.exe dump ROOT\PATH
//                        one JSON object: {"values": {name: [type, "hex"]}, "keys": {name: {...}}},
//                        or null when the key does not exist.
//   regtool.exe deltree ROOT\PATH...
//                        deletes each key with everything below it; a missing key is no error.
// ROOT is HKCU, HKLM, HKCR or HKU. Exit code 0, or 1 on the first failing write.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

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

bool ParseHex(const std::string& text, std::vector<BYTE>& bytes) {
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (sscanf(text.c_str() + i, "%2x", &value) != 1) return false;
        bytes.push_back(static_cast<BYTE>(value));
    }
    return true;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

int SetLine(const std::string& line) {
    std::vector<std::string> fields = SplitTabs(line);
    HKEY root;
    std::string path;
    if (!SplitRoot(fields[0], root, path)) return 1;
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return 1;
    int result = 0;
    if (fields.size() >= 3 && fields[2] == "-") {
        RegDeleteValueA(key, fields[1].c_str());
    } else if (fields.size() >= 4) {
        std::vector<BYTE> data;
        if (!ParseHex(fields[3], data)) result = 1;
        DWORD type = static_cast<DWORD>(strtoul(fields[2].c_str(), nullptr, 10));
        DWORD size = static_cast<DWORD>(data.size());
        // Wine's RegSetValueExA takes one byte more when a string's last byte is not NUL and the
        // next one is; a sentinel keeps the data exactly as given.
        data.push_back(0xFF);
        if (result == 0 && RegSetValueExA(key, fields[1].c_str(), 0, type, size == 0 ? nullptr : data.data(), size) !=
                               ERROR_SUCCESS)
            result = 1;
    }
    RegCloseKey(key);
    return result;
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
        HKEY child = nullptr;
        if (index > 0) printf(", ");
        PrintJsonString(name.data());
        printf(": ");
        if (RegOpenKeyExA(key, name.data(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
            DumpKey(child);
            RegCloseKey(child);
        } else {
            printf("null");
        }
    }
    printf("}}");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "set") == 0) {
        char buffer[65536];
        while (fgets(buffer, sizeof(buffer), stdin) != nullptr) {
            std::string line(buffer);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            if (line.empty()) continue;
            if (SetLine(line) != 0) {
                fprintf(stderr, "failed: %s\n", line.c_str());
                return 1;
            }
        }
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "deltree") == 0) {
        for (int i = 2; i < argc; ++i) {
            HKEY root;
            std::string path;
            if (!SplitRoot(argv[i], root, path) || path.empty()) return 2;
            LONG status = RegDeleteTreeA(root, path.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                fprintf(stderr, "deltree %s failed: %ld\n", argv[i], status);
                return 1;
            }
        }
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "dump") == 0) {
        HKEY root;
        std::string path;
        if (!SplitRoot(argv[2], root, path)) return 2;
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            printf("null\n");
            return 0;
        }
        DumpKey(key);
        printf("\n");
        RegCloseKey(key);
        return 0;
    }
    fprintf(stderr, "usage: regtool.exe set < LINES | dump ROOT\\PATH | deltree ROOT\\PATH...\n");
    return 2;
}
