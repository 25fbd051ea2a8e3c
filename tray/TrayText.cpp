#include "tray/TrayText.h"

#include <windows.h>
#include <strsafe.h>

#include <cstring>

#include "app/TextLookup.h"
#include "devices/Records.h"

namespace {

constexpr const char kEllipsis[] = "...";

// Longest prefix of `text` on a character boundary that has at most `limit` bytes.
size_t CutPoint(const char* text, size_t limit) {
    const char* cut = text;
    for (const char* next = text; *next != '\0';) {
        const char* after = CharNextA(next);
        if (after == next || static_cast<size_t>(after - text) > limit) break;
        cut = next = after;
    }
    return static_cast<size_t>(cut - text);
}

}  // namespace

bool FitText(char* out, size_t size, const char* text) {
    if (size == 0) return true;
    if (strlen(text) < size) {
        StringCchCopyA(out, size, text);
        return false;
    }
    size_t ellipsis = sizeof(kEllipsis) - 1;
    size_t keep = size > ellipsis + 1 ? CutPoint(text, size - 1 - ellipsis) : 0;
    memcpy(out, text, keep);
    out[keep] = '\0';
    StringCchCatA(out, size, kEllipsis);
    return true;
}

void FormatTunerLabel(const TunerInfo& tuner, const char* unknownText, char* label, size_t size) {
    // Twice the record's fields and the decoration: the whole label fits before it is cut.
    char whole[2 * kNameChars + 64];
    int nameChars = static_cast<int>(kNameChars - 1);
    StringCchPrintfA(whole, sizeof(whole), "  %d: %.*s", tuner.Index + 1, nameChars, tuner.Name);
    if (tuner.Owner[0] != '\0') {
        bool unknown = strncmp(tuner.Owner, "Unknown", kNameChars) == 0;
        char withOwner[sizeof(whole) + kNameChars + 4];
        if (unknown)
            StringCchPrintfA(withOwner, sizeof(withOwner), "%s (%.*s)", whole, nameChars, unknownText);
        else
            StringCchPrintfA(withOwner, sizeof(withOwner), "%s (%.*s)", whole, nameChars, tuner.Owner);
        StringCchCopyA(whole, sizeof(whole), withOwner);
    }
    FitText(label, size, whole);
}

bool FormatSettingsUrl(const char* ip, const char* path, char* url, size_t size) {
    if (SUCCEEDED(StringCchPrintfA(url, size, "http://%s%s", ip, path))) return true;
    if (size > 0) url[0] = '\0';
    return false;
}

void FormatVersionLine(const char* word, const char* separator, const char* version, const char* ending,
                       char* line, size_t size) {
    char tail[kTextChars];
    StringCchPrintfA(tail, sizeof(tail), "%sv%s%s", separator, version, ending);
    size_t tailChars = strlen(tail);
    if (size <= tailChars) {
        StringCchCopyA(line, size, tail);
        return;
    }
    FitText(line, size - tailChars, word);
    StringCchCatA(line, size, tail);
}
