#include "app/TextLookup.h"

#include <windows.h>
#include <strsafe.h>

void GetUserLanguage(char* language, size_t size) {
    if (GetLocaleInfoA(GetUserDefaultLCID(), LOCALE_SISO639LANGNAME, language, static_cast<int>(size)) == 0 && size > 0)
        language[0] = '\0';
}

void LookupText(const char* language, const char* iniPath, const char* key, char* out, size_t outSize) {
    DWORD chars = static_cast<DWORD>(outSize);
    if (GetPrivateProfileStringA(language, key, nullptr, out, chars, iniPath) != 0) return;
    GetPrivateProfileStringA("en", key, key, out, chars, iniPath);
}
