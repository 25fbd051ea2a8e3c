#include <windows.h>
#include <strsafe.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/Log.h"
#include "app/Names.h"
#include "app/Paths.h"
#include "devices/Devices.h"
#include "install/FolderEntries.h"
#include "install/InstallShared.h"
#include "install/PvrModels.h"

namespace {

constexpr size_t kValueChars = 100;
constexpr size_t kLineChars = 512;

constexpr TunerModel kTunerModels[] = {
    {"8vsb", "ATSCTuner", "OrvaBrdA"},
    {"qam", "DVBCTuner", "OrvaBrdD"},
    {"qpsk", "DVBSTuner", "OrvaBrdB"},
    {"8psk", "DVBSTuner", "OrvaBrdC"},
    {"ofdm", "DVBTTuner", "Zentrova"},
};

// Terminated copy of a fixed-size record field.
template <size_t N>
void CopyField(char (&target)[N], const char* field, size_t fieldChars) {
    StringCchCopyNA(target, N, field, fieldChars - 1);
}

// Writes one formatted line; text mode turns each "\n" into CRLF.
void WriteLine(FILE* file, const char* format, ...) {
    char line[kLineChars];
    va_list arguments;
    va_start(arguments, format);
    StringCchVPrintfA(line, kLineChars, format, arguments);
    va_end(arguments);
    fputs(line, file);
}

// The stored Id becomes a folder name, and any program of the user can write the stored list:
// only a plain name of one folder, which no path separator, drive or parent reference can
// turn into somewhere else, and which Windows does not shorten.
bool IsFolderNameComponent(const char* id) {
    size_t length = strnlen(id, kIdChars);
    if (length == 0 || strcmp(id, ".") == 0 || strcmp(id, "..") == 0) return false;
    if (id[length - 1] == '.' || id[length - 1] == ' ') return false;
    return CanBeFileName(id);
}

struct PvrValues {
    char boxName[kNameChars];
    char tunerName[kNameChars];
    int sourceNumber;
    char tunerId[kIdChars];
    char instance[kValueChars];
    const TunerModel* model;
};

void WriteSources(const CEntry& folder, const PvrValues& values) {
    FILE* file = OpenPlainFileForText(folder, "Sources.xml");
    if (file == nullptr) return;
    WriteLine(file, "<?xml version=\"1.0\" encoding=\"utf-8\" ?>");
    WriteLine(file, "<PVR3>\n");
    WriteLine(file, "  <SOURCES>\n");
    WriteLine(file, "    <SOURCE id=\"%s %d: %s\" progid=\"OstrelDevice.%s\">\n", values.boxName, values.sourceNumber,
              values.tunerName, values.model->board);
    WriteLine(file, "      <INPUT id=\"%s\" url=\"DvbModes.xml\"/>\n", values.model->type);
    WriteLine(file, "    </SOURCE>\n");
    WriteLine(file, "  </SOURCES>\n");
    WriteLine(file, "</PVR3>\n");
    fclose(file);
}

void WriteIsAvailable(const CEntry& folder, const PvrValues& values) {
    FILE* file = OpenPlainFileForText(folder, "IsAvailable.device");
    if (file == nullptr) return;
    WriteLine(file, "<FILTER id=\"Tuner\" instance=\"%s\" category=\"BDA Source Filters\"/>\n", values.instance);
    WriteLine(file, "<DEVICE board=\"%s\"/>\n", values.tunerId);
    fclose(file);
}

void WriteTunerType(const CEntry& folder, const PvrValues& values) {
    char fileName[kValueChars];
    if (FAILED(StringCchPrintfA(fileName, kValueChars, "%s.device", values.model->type))) return;
    FILE* file = OpenPlainFileForText(folder, fileName);
    if (file == nullptr) return;
    WriteLine(file, "<FILTER id=\"Tuner\" instance=\"%s\" category=\"BDA Source Filters\"/>\n", values.instance);
    WriteLine(file, "<DEFINE topologyfile=\"SingleTunerCapture.xgr\"/>\n");
    fclose(file);
}

// The tuner folder with its three files. A folder that cannot be made, whose path does not fit,
// whose name the stored Id cannot be, or that is a link or lies elsewhere, is not written to;
// the result stays.
void WriteTunerFolder(const char* sourceFolder, const PvrValues& values) {
    if (!IsFolderNameComponent(values.tunerId)) {
        LogMessage("PvrFiles %sBit tuner Id is no folder name: %s", ExeBitsText(), values.tunerId);
        return;
    }
    char folderName[kValueChars];
    char folder[kPathChars];
    if (FAILED(StringCchPrintfA(folderName, kValueChars, "%s %s", kProductWord, values.tunerId)) ||
        FAILED(StringCchPrintfA(folder, kPathChars, "%s\\%s", sourceFolder, folderName)))
        return;
    CreateDirectoryA(folder, nullptr);  // an existing folder is used again
    // Held, the folder cannot be swapped for a link while its files are written.
    CEntry source;
    CEntry held;
    if (!source.OpenFolder(sourceFolder)) return;
    EntryPlace place = held.Open(source, folderName, FILE_LIST_DIRECTORY, FILE_SHARE_READ, OPEN_EXISTING);
    if (place == EntryPlace::kInFolder && held.IsPlainFolder()) {
        WriteSources(held, values);
        WriteIsAvailable(held, values);
        WriteTunerType(held, values);
    } else if (IsLinkAttributes(GetFileAttributesA(folder))) {
        LogMessage("PvrFiles %sBit tuner folder is a link: %s", ExeBitsText(), folderName);
    } else if (place == EntryPlace::kElsewhere) {
        LogMessage("PvrFiles %sBit tuner folder is not in the PVR source folder: %s", ExeBitsText(), folder);
    }
}

}  // namespace

const TunerModel* FindTunerModel(const char* model) {
    char text[kIdChars];
    StringCchCopyNA(text, kIdChars, model, kIdChars - 1);
    for (const TunerModel& row : kTunerModels)
        if (strstr(text, row.substring) != nullptr) return &row;
    return nullptr;
}

bool CDevices::PvrFiles(const DeviceInfo& device, const TunerInfo& tuner) {
    if (IsExe64Bit()) return false;
    char sourceFolder[kPathChars];
    if (!GetPvrSourcePath(sourceFolder, kPathChars)) return false;

    PvrValues values = {};
    CopyField(values.tunerId, tuner.Id, kIdChars);
    values.model = FindTunerModel(tuner.Model);
    if (values.model == nullptr) {
        char model[kIdChars];
        CopyField(model, tuner.Model, kIdChars);
        LogMessage("PvrFiles %sBit tuner model not supported: %s", ExeBitsText(), model);
        return false;
    }

    BuildInstanceName(values.tunerId, values.instance, kValueChars);
    CopyField(values.boxName, device.Name, kNameChars);
    CopyField(values.tunerName, tuner.Name, kNameChars);
    values.sourceNumber = tuner.Index + 1;

    WriteTunerFolder(sourceFolder, values);
    TraceMessage("PvrFiles %sBit created!", ExeBitsText());
    return true;
}
