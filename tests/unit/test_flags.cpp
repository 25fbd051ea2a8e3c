// Flags as the copies of the program hand pending work to each other: at start-up, on the
// tray's Refresh and after an installation, over bitness, rights and the PVR folder.
#include <gtest/gtest.h>

#include "UnitSupport.h"

namespace {

enum class Step { Start, Refresh, InstallNothing, InstallTuner };

struct FlagsRow {
    Step step;
    bool exe64, admin, pvrFolder;
    DWORD before, after;
};

const FlagsRow kRows[] = {
    {Step::Start, false, false, true, 0x04, 0x14},    // PVR files pending: force the elevation
    {Step::Start, false, false, false, 0x04, 0x04},   // ... unless there is no PVR folder
    {Step::Start, false, false, true, 0x01, 0x11},
    {Step::Start, false, false, true, 0x02, 0x02},    // the 64-bit copy's share alone forces nothing
    {Step::Start, true, false, true, 0x05, 0x05},     // the 64-bit program leaves Flags alone
    {Step::Refresh, false, false, true, 0x02, 0x12},  // Refresh forces for the 64-bit share too
    {Step::Refresh, false, true, true, 0x07, 0x07},
    {Step::InstallTuner, false, true, false, 0x17, 0x16},       // no PVR folder: the files stay pending
    {Step::InstallNothing, false, true, false, 0x07, 0x02},
};

TEST(Flags, PendingWorkIsHandedOn) {
    for (const FlagsRow& row : kRows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - kRows));
        CList32 list(row.pvrFolder);
        TestHooks::SetExeBitness(row.exe64 ? 1 : 0);
        TestHooks::SetAdmin(row.admin ? 1 : 0);
        StorageFlagsWrite(row.before);
        if (row.step == Step::InstallTuner) list.devices.Devices = {Box("10A0000D", "A", {Tuner("10A0000D", 0, "ofdm")})};
        if (row.step == Step::Start)
            StorageFlagsHandle();
        else if (row.step == Step::Refresh)
            StorageFlagsForceInstall();
        else
            list.devices.Install();
        EXPECT_EQ(row.after, ReadFlags());
    }
}

}  // namespace
