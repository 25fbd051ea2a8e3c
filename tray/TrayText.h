// Bounded texts of the tray: labels, URLs and About lines never outgrow their buffers.
#pragma once

#include <cstddef>

struct TunerInfo;

// Copies `text` into `out` (`size` characters with terminator). A text that does not fit
// is cut at a character boundary and ends with "..."; answers whether it was cut.
bool FitText(char* out, size_t size, const char* text);

// "  %d: %s" of the tuner's Index plus one and Name, with " (%s)" of the owner when
// there is one ("Unknown" shown as `unknownText`); at most `size` characters.
void FormatTunerLabel(const TunerInfo& tuner, const char* unknownText, char* label, size_t size);

// "http://%s%s" of the address and path; false, with `url` emptied, when it does not fit
// in `size` characters: a cut URL would open some other page.
bool FormatSettingsUrl(const char* ip, const char* path, char* url, size_t size);

// "<word><separator>v<version><ending>" in at most `size` characters. The version always
// shows: a word too long for the line is cut (see FitText) instead.
void FormatVersionLine(const char* word, const char* separator, const char* version, const char* ending,
                       char* line, size_t size);
