// Flags: where it is read from, how it is written, and the start-up and Refresh rules
// of the 32-bit program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "app/TestHooks.h"
#include "common/LogCapture.h"
#include "common/RegistryFixture.h"
#include "store/Storage.h"

using namespace StoreTest;
using Lines = std::vector<std::string>;

namespace {

void SetCurrentUserFlags(DWORD value) { TestRegistry::SetDword(HKEY_CURRENT_USER, kRoot, "Flags", value); }
void SetDefaultUserFlags(DWORD value) { TestRegistry::SetDword(HKEY_USERS, kDefaultRoot, "Flags", value); }

// The stored current-user value; fails the test when it is missing or not a 4-byte DWORD.
DWORD CurrentUserFlags() {
    DWORD value = 0xDEADBEEF;
    EXPECT_TRUE(QueryDword(HKEY_CURRENT_USER, kRoot, "Flags", value));
    return value;
}

std::string HandleLine(const char* action, const char* system, const char* exe, const char* admin, DWORD pending) {
    char line[256];
    StringCchPrintfA(line, 256, "StorageFlagsHandle %s UAC. System:%sBit  Exe:%sBit  IsAdmin:%s Flags:0x%08x\n",
                     action, system, exe, admin, pending);
    return line;
}

std::string ForceInstallLine(const char* system, const char* exe, const char* admin, DWORD pending) {
    char line[256];
    StringCchPrintfA(line, 256,
                     "StorageFlagsForceInstall force UAC. System:%sBit  Exe:%sBit  IsAdmin:%s Flags:0x%08x\n", system,
                     exe, admin, pending);
    return line;
}

}  // namespace

// --- applicable bits ---------------------------------------------------------------

class ApplicableFlags : public StoreFixture {};

TEST_F(ApplicableFlags, SixtyFourBitSystemWithAndWithoutPvrFolder) {
    EXPECT_EQ(0x13u, ComputeApplicableFlags());
    EXPECT_EQ(0x13u, CStorage().applicableFlags);
    CreatePvrFolder();
    EXPECT_EQ(0x17u, ComputeApplicableFlags());
    EXPECT_EQ(0x17u, CStorage().applicableFlags);
}

TEST_F(ApplicableFlags, ThirtyTwoBitSystemLeavesOutTheSixtyFourBitFilters) {
    TestHooks::SetSystemBitness(0);
    EXPECT_EQ(0x11u, CStorage().applicableFlags);
    CreatePvrFolder();
    EXPECT_EQ(0x15u, CStorage().applicableFlags);
}

TEST_F(ApplicableFlags, PvrFolderIsLookedForOnEveryConstruction) {
    CreatePvrFolder();
    EXPECT_EQ(0x17u, CStorage().applicableFlags);
    RemoveDirectoryA(kPvrFolder);  // no ResetFolders: the existence test alone must notice
    EXPECT_EQ(0x13u, CStorage().applicableFlags);
}

// --- StorageFlagsRead ---------------------------------------------------------------

class FlagsRead : public StoreFixture {};

TEST_F(FlagsRead, NothingStoredReadsZero) { EXPECT_EQ(0u, StorageFlagsRead()); }

TEST_F(FlagsRead, CurrentUserValueWinsOverDefaultUser) {
    SetCurrentUserFlags(0x15);
    SetDefaultUserFlags(0x02);
    EXPECT_EQ(0x15u, StorageFlagsRead());
}

TEST_F(FlagsRead, CurrentUserZeroIsAValue) {
    SetCurrentUserFlags(0);
    SetDefaultUserFlags(0x07);
    EXPECT_EQ(0u, StorageFlagsRead());
}

TEST_F(FlagsRead, DefaultUserWhenCurrentUserKeyIsMissing) {
    SetDefaultUserFlags(0x06);
    EXPECT_EQ(0x06u, StorageFlagsRead());
}

TEST_F(FlagsRead, DefaultUserWhenCurrentUserKeyHasNoFlags) {
    TestRegistry::SetString(HKEY_CURRENT_USER, kRoot, "Other", "x");
    SetDefaultUserFlags(0x04);
    EXPECT_EQ(0x04u, StorageFlagsRead());
}

TEST_F(FlagsRead, StringUnderCurrentUserFallsBack) {
    TestRegistry::SetString(HKEY_CURRENT_USER, kRoot, "Flags", "7");
    SetDefaultUserFlags(0x11);
    EXPECT_EQ(0x11u, StorageFlagsRead());
    TestRegistry::ClearProductKeys();
    TestRegistry::SetString(HKEY_CURRENT_USER, kRoot, "Flags", "7");
    EXPECT_EQ(0u, StorageFlagsRead());
}

TEST_F(FlagsRead, EightByteValuesUnderCurrentUserFallBack) {
    const unsigned long long wide = 0x0000000100000007ull;
    const DWORD types[] = {REG_QWORD, REG_BINARY, REG_DWORD};
    for (DWORD type : types) {
        TestRegistry::ClearProductKeys();
        TestRegistry::SetRaw(HKEY_CURRENT_USER, kRoot, "Flags", type, &wide, sizeof(wide));
        SetDefaultUserFlags(0x03);
        EXPECT_EQ(0x03u, StorageFlagsRead()) << "type " << type;
        TestRegistry::ClearProductKeys();
        TestRegistry::SetRaw(HKEY_CURRENT_USER, kRoot, "Flags", type, &wide, sizeof(wide));
        EXPECT_EQ(0u, StorageFlagsRead()) << "type " << type;
    }
}

TEST_F(FlagsRead, FourByteBinaryIsNotADword) {
    DWORD value = 0x07;
    TestRegistry::SetRaw(HKEY_CURRENT_USER, kRoot, "Flags", REG_BINARY, &value, sizeof(value));
    EXPECT_EQ(0u, StorageFlagsRead());
}

TEST_F(FlagsRead, BadDefaultUserValueReadsZero) {
    TestRegistry::SetString(HKEY_USERS, kDefaultRoot, "Flags", "17");
    EXPECT_EQ(0u, StorageFlagsRead());
    const unsigned long long wide = 5;
    TestRegistry::SetRaw(HKEY_USERS, kDefaultRoot, "Flags", REG_QWORD, &wide, sizeof(wide));
    EXPECT_EQ(0u, StorageFlagsRead());
}

// --- StorageFlagsWrite and StorageFlagsUpdate --------------------------------------

class FlagsWrite : public StoreFixture {};

TEST_F(FlagsWrite, CreatesTheKeyAndStoresAFourByteDword) {
    EXPECT_EQ(S_OK, StorageFlagsWrite(0x13));
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(TestRegistry::Query(HKEY_CURRENT_USER, kRoot, "Flags", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(std::string("\x13\0\0\0", 4), data);
    EXPECT_EQ(0x13u, StorageFlagsRead());
}

TEST_F(FlagsWrite, ReplacesAStringAndNeverTouchesTheDefaultUser) {
    TestRegistry::SetString(HKEY_CURRENT_USER, kRoot, "Flags", "abc");
    SetDefaultUserFlags(0x04);
    EXPECT_EQ(S_OK, StorageFlagsWrite(0x01));
    EXPECT_EQ(0x01u, CurrentUserFlags());
    DWORD defaultValue = 0;
    ASSERT_TRUE(QueryDword(HKEY_USERS, kDefaultRoot, "Flags", defaultValue));
    EXPECT_EQ(0x04u, defaultValue);
}

TEST_F(FlagsWrite, FailureToCreateTheKeyIsLoggedAndWritesNothing) {
    MakeProductKeyUncreatable();
    Lines lines;
    HRESULT result;
    {
        CLogCapture capture;
        result = StorageFlagsWrite(0x10);
        lines = capture.Lines();
    }
    EXPECT_EQ(E_FAIL, result);
    EXPECT_EQ(Lines({"Save to CURRENT_USER Registry access failed!"}), lines);
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kRoot));
    EXPECT_EQ(0u, StorageFlagsRead());
}

TEST_F(FlagsWrite, UpdateClearsThenSetsAndKeepsOtherBits) {
    SetCurrentUserFlags(0x1F7);
    StorageFlagsUpdate(0x15, 0x08);
    EXPECT_EQ(0x1EAu, CurrentUserFlags());
    StorageFlagsUpdate(0, 0x10);
    EXPECT_EQ(0x1FAu, CurrentUserFlags());
}

TEST_F(FlagsWrite, UpdateStartsFromTheDefaultUserValueAndWritesTheCurrentUser) {
    SetDefaultUserFlags(0x05);
    StorageFlagsUpdate(0, FLAG_FORCE_UAC);
    EXPECT_EQ(0x15u, CurrentUserFlags());
    DWORD defaultValue = 0;
    ASSERT_TRUE(QueryDword(HKEY_USERS, kDefaultRoot, "Flags", defaultValue));
    EXPECT_EQ(0x05u, defaultValue);
}

// --- StorageFlagsHandle -------------------------------------------------------------

class FlagsHandle : public StoreFixture {
protected:
    Lines RunHandle() {
        CLogCapture capture;
        StorageFlagsHandle();
        return WithoutPvrProbe(capture.Lines());
    }
};

TEST_F(FlagsHandle, SixtyFourBitProgramNeverTouchesTheValue) {
    TestHooks::SetExeBitness(1);
    for (int admin : {0, 1}) {
        TestHooks::SetAdmin(admin);
        SetCurrentUserFlags(0x17);
        EXPECT_EQ(Lines(), RunHandle());
        EXPECT_EQ(0x17u, CurrentUserFlags());
        TestRegistry::ClearProductKeys();
        EXPECT_EQ(Lines(), RunHandle());
        EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kRoot));
    }
}

TEST_F(FlagsHandle, RealSixtyFourBitAnswerUnderWineLeavesEverything) {
    SetCurrentUserFlags(0x07);
    EXPECT_EQ(Lines(), RunHandle());
    EXPECT_EQ(0x07u, CurrentUserFlags());
}

TEST_F(FlagsHandle, AdministratorWithNothingStoredWritesZeroAndLogsReset) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(1);
    EXPECT_EQ(Lines({HandleLine("reset", "64", "32", "yes", 0)}), RunHandle());
    EXPECT_EQ(0u, CurrentUserFlags());
}

TEST_F(FlagsHandle, AdministratorClearsOnlyTheForceBitAndLogsTheMaskedValue) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(1);
    CreatePvrFolder();
    SetCurrentUserFlags(0x11F);
    EXPECT_EQ(Lines({HandleLine("reset", "64", "32", "yes", 0x17)}), RunHandle());
    EXPECT_EQ(0x10Fu, CurrentUserFlags());
}

TEST_F(FlagsHandle, AdministratorWithoutPvrFolderMasksThePvrBitInTheLogOnly) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(1);
    SetCurrentUserFlags(0x15);
    EXPECT_EQ(Lines({HandleLine("reset", "64", "32", "yes", 0x11)}), RunHandle());
    EXPECT_EQ(0x05u, CurrentUserFlags());
}

TEST_F(FlagsHandle, AdministratorReadsTheDefaultUserAndWritesTheCurrentUser) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(1);
    SetDefaultUserFlags(0x13);
    EXPECT_EQ(Lines({HandleLine("reset", "64", "32", "yes", 0x13)}), RunHandle());
    EXPECT_EQ(0x03u, CurrentUserFlags());
}

TEST_F(FlagsHandle, NonAdministratorForcesForPendingThirtyTwoBitFilters) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    SetCurrentUserFlags(0x01);
    EXPECT_EQ(Lines({HandleLine("force", "64", "32", "no", 0x01)}), RunHandle());
    EXPECT_EQ(0x11u, CurrentUserFlags());
}

TEST_F(FlagsHandle, NonAdministratorForcesForPendingPvrFilesOnlyWithThePvrFolder) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    SetCurrentUserFlags(0x104);
    EXPECT_EQ(Lines(), RunHandle());
    EXPECT_EQ(0x104u, CurrentUserFlags());
    CreatePvrFolder();
    EXPECT_EQ(Lines({HandleLine("force", "64", "32", "no", 0x04)}), RunHandle());
    EXPECT_EQ(0x114u, CurrentUserFlags());
}

TEST_F(FlagsHandle, NonAdministratorWithOnlySixtyFourBitFiltersPendingDoesNothing) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    CreatePvrFolder();
    SetCurrentUserFlags(0x02);
    EXPECT_EQ(Lines(), RunHandle());
    EXPECT_EQ(0x02u, CurrentUserFlags());
}

TEST_F(FlagsHandle, NonAdministratorWithNothingPendingCreatesNothing) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    EXPECT_EQ(Lines(), RunHandle());
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kRoot));
}

TEST_F(FlagsHandle, NonAdministratorKeepsAForceBitAlreadySet) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    SetCurrentUserFlags(0x10);
    EXPECT_EQ(Lines(), RunHandle());
    EXPECT_EQ(0x10u, CurrentUserFlags());
    SetCurrentUserFlags(0x15);
    CreatePvrFolder();
    EXPECT_EQ(Lines({HandleLine("force", "64", "32", "no", 0x15)}), RunHandle());
    EXPECT_EQ(0x15u, CurrentUserFlags());
}

TEST_F(FlagsHandle, NonAdministratorForcesFromTheDefaultUserValue) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    SetDefaultUserFlags(0x01);
    EXPECT_EQ(Lines({HandleLine("force", "64", "32", "no", 0x01)}), RunHandle());
    EXPECT_EQ(0x11u, CurrentUserFlags());
}

TEST_F(FlagsHandle, ThirtyTwoBitSystemReportsItsBitnessAndIgnoresSixtyFourBitFilters) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetSystemBitness(0);
    TestHooks::SetAdmin(1);
    SetCurrentUserFlags(0x13);
    EXPECT_EQ(Lines({HandleLine("reset", "32", "32", "yes", 0x11)}), RunHandle());
    EXPECT_EQ(0x03u, CurrentUserFlags());
}

// --- StorageFlagsForceInstall -------------------------------------------------------

class FlagsForceInstall : public StoreFixture {
protected:
    Lines RunForceInstall() {
        CLogCapture capture;
        StorageFlagsForceInstall();
        return WithoutPvrProbe(capture.Lines());
    }
};

TEST_F(FlagsForceInstall, SixtyFourBitProgramNeverTouchesTheValue) {
    TestHooks::SetExeBitness(1);
    TestHooks::SetAdmin(0);
    SetCurrentUserFlags(0x07);
    EXPECT_EQ(Lines(), RunForceInstall());
    EXPECT_EQ(0x07u, CurrentUserFlags());
}

TEST_F(FlagsForceInstall, AdministratorNeverTouchesTheValue) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(1);
    CreatePvrFolder();
    SetCurrentUserFlags(0x07);
    EXPECT_EQ(Lines(), RunForceInstall());
    EXPECT_EQ(0x07u, CurrentUserFlags());
}

TEST_F(FlagsForceInstall, EachPendingBitForcesWhenItApplies) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    CreatePvrFolder();
    for (DWORD bit : {FLAG_PENDING_FILTERS32, FLAG_PENDING_FILTERS64, FLAG_PENDING_PVR}) {
        SetCurrentUserFlags(bit | 0x200);
        EXPECT_EQ(Lines({ForceInstallLine("64", "32", "no", bit)}), RunForceInstall()) << "bit " << bit;
        EXPECT_EQ(bit | 0x210, CurrentUserFlags());
    }
}

TEST_F(FlagsForceInstall, OnlySixtyFourBitFiltersPendingForcesWhereStartUpDoesNot) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    SetCurrentUserFlags(0x02);
    {
        CLogCapture capture;
        StorageFlagsHandle();
        EXPECT_EQ(Lines(), WithoutPvrProbe(capture.Lines()));
    }
    EXPECT_EQ(0x02u, CurrentUserFlags());
    EXPECT_EQ(Lines({ForceInstallLine("64", "32", "no", 0x02)}), RunForceInstall());
    EXPECT_EQ(0x12u, CurrentUserFlags());
}

TEST_F(FlagsForceInstall, PvrBitWithoutPvrFolderIsIgnored) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    SetCurrentUserFlags(0x04);
    EXPECT_EQ(Lines(), RunForceInstall());
    EXPECT_EQ(0x04u, CurrentUserFlags());
}

TEST_F(FlagsForceInstall, ForceBitAloneOrNothingStoredDoesNothing) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetAdmin(0);
    EXPECT_EQ(Lines(), RunForceInstall());
    EXPECT_FALSE(TestRegistry::KeyExists(HKEY_CURRENT_USER, kRoot));
    SetCurrentUserFlags(0x10);
    EXPECT_EQ(Lines(), RunForceInstall());
    EXPECT_EQ(0x10u, CurrentUserFlags());
}

TEST_F(FlagsForceInstall, SixtyFourBitFiltersOnAThirtyTwoBitSystemAreIgnored) {
    TestHooks::SetExeBitness(0);
    TestHooks::SetSystemBitness(0);
    TestHooks::SetAdmin(0);
    SetCurrentUserFlags(0x02);
    EXPECT_EQ(Lines(), RunForceInstall());
    EXPECT_EQ(0x02u, CurrentUserFlags());
    SetCurrentUserFlags(0x03);
    EXPECT_EQ(Lines({ForceInstallLine("32", "32", "no", 0x01)}), RunForceInstall());
    EXPECT_EQ(0x13u, CurrentUserFlags());
}
