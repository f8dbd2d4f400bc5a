// The device facts, gathered the way the start handler gathers them, in a program that carries
// a version resource: file version 2.0.3.1, product version 9.9.9.9.
//
// Every test gathers the facts for a profile file of its own, as a start does.
#include "platform/device_info.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "platform/profile_store.h"
#include "platform/save_path.h"
#include "support/process.h"

namespace {

using mirto_test::OwnFolder;
using mirto_test::OwnPath;

std::wstring FreshAppId(const std::wstring& tag) { return mirto_test::FreshAppId(L"ditest", tag); }

// The profile file of a new application id, with the identity id in it, as the start handler
// has them just before it gathers the device facts.
std::wstring StartLikeTheHandler() {
    const std::optional<std::wstring> profile = mirto::CreateSavePath(FreshAppId(L"Start"));
    EXPECT_TRUE(profile);
    if (!profile) return {};
    const std::wstring identity = mirto::LoadOrCreateId(*profile, mirto::kIdentityKey);
    EXPECT_EQ(identity.size(), 32u);
    return *profile;
}

TEST(DeviceInfo, InstallationIdIsStoredCopiedAndKept) {
    const std::wstring profile = StartLikeTheHandler();
    const mirto::DeviceFacts facts = mirto::CollectDeviceFacts(profile, L"1.0");

    const std::wstring id = facts.install_uuid;
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of(L"0123456789abcdefghijklmnopqrstuvwxyz"), std::wstring::npos);
    EXPECT_EQ(facts.persist_uuid, id);
    EXPECT_NE(id, mirto::ReadProfileValue(profile, mirto::kIdentityKey));
    EXPECT_EQ(mirto::ReadProfileValue(profile, mirto::kInstallationKey), id);

    // A later process of the same installation loads the stored one.
    const mirto::DeviceFacts later = mirto::CollectDeviceFacts(profile, L"1.0");
    EXPECT_EQ(later.install_uuid, id);
    EXPECT_EQ(later.persist_uuid, id);
}

TEST(DeviceInfo, UnstorableInstallationIdLeavesBothIdsEmpty) {
    // A profile file in a folder that was never made cannot be written.
    const std::wstring profile = StartLikeTheHandler() + L".missing\\mirto.ini";
    const mirto::DeviceFacts facts = mirto::CollectDeviceFacts(profile, L"1.0");
    EXPECT_EQ(facts.install_uuid, L"");
    EXPECT_EQ(facts.persist_uuid, L"");
}

TEST(DeviceInfo, ScreenSizeAndSystemVersion) {
    const mirto::DeviceFacts facts = mirto::CollectDeviceFacts(StartLikeTheHandler(), L"1.0");

    EXPECT_EQ(facts.screen_width, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(facts.screen_height, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_GT(facts.screen_width, 0);
    EXPECT_GT(facts.screen_height, 0);

    // The version as the same compatibility rules report it, from a second source.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(facts.system_version, L"Windows " + std::to_wstring(version.dwMajorVersion) + L"." +
                                        std::to_wstring(version.dwMinorVersion));
}

TEST(DeviceInfo, GivenGameVersionIsNeverReplaced) {
    for (const wchar_t* given : {L"1.4.2", L"unknown", L"0"}) {
        SCOPED_TRACE(given);
        EXPECT_EQ(mirto::CollectDeviceFacts(StartLikeTheHandler(), given).game_version, given);
    }
}

TEST(DeviceInfo, EmptyGameVersionBecomesTheExecutablesFileVersion) {
    EXPECT_EQ(mirto::CollectDeviceFacts(StartLikeTheHandler(), L"").game_version, L"2.0.3.1");
}

TEST(FileVersion, FixedFileVersionWithAllDigitsOfEachPart) {
    EXPECT_EQ(mirto::FileVersionOf(OwnPath()), L"2.0.3.1");
    EXPECT_EQ(mirto::FileVersionOf(OwnFolder() + L"version_parts.dll"), L"10.0.19041.65535");
}

TEST(FileVersion, FilesWithoutAVersionResourceGiveNothing) {
    const std::wstring profile = StartLikeTheHandler();
    // A program built without a resource, a text file and a path to nothing.
    EXPECT_EQ(mirto::FileVersionOf(OwnFolder() + L"id_process.exe"), L"");
    EXPECT_EQ(mirto::FileVersionOf(profile), L"");
    EXPECT_EQ(mirto::FileVersionOf(OwnFolder() + L"no_such_program.exe"), L"");
}

// The helper program has no version resource; it prints the game version it finds for itself.
TEST(DeviceInfo, ProgramWithoutVersionResourceReportsUnknown) {
    const mirto_test::ChildResult child = mirto_test::RunChild(
        L"\"" + OwnFolder() + L"id_process.exe\" version " + FreshAppId(L"Helper"));
    ASSERT_TRUE(child.started) << "error " << child.start_error;
    EXPECT_EQ(child.exit_code, 0u);
    EXPECT_EQ(child.output, "unknown\n");
}

}  // namespace
