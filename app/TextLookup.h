// Visible texts come from the configuration file: the user's language section,
// then "en", then the English key itself.
#pragma once

#include <cstddef>

constexpr size_t kTextChars = 100;

// The user's ISO 639 language name ("en", "de", ...) into `language` (10 characters).
void GetUserLanguage(char* language, size_t size);

// Looks `key` up; `out` receives at most `outSize` characters (100 in the program).
void LookupText(const char* language, const char* iniPath, const char* key, char* out, size_t outSize);
