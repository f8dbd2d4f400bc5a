// The device facts, gathered the way the start handler gathers them, in a program that carries
// a version resource: file version 2.0.3.1, product version 9.9.9.9.
//
// The collection normally runs once per process, so every test first puts the values it
// writes back to their load-time state.
#include "platform/device_info.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "core/session.h"
#include "platform/profile_store.h"
#include "platform/save_path.h"
#include "support/process.h"

namespace {

mirto::Session& SessionState() { return mirto::GetSession(); }

using mirto_test::OwnFolder;
using mirto_test::OwnPath;

std::wstring FreshAppId(const std::wstring& tag) { return mirto_test::FreshAppId(L"ditest", tag); }

// The session as the start handler leaves it just before it gathers the device facts.
void StartLikeTheHandler(const std::wstring& game_version) {
    SessionState().install_uuid.clear();
    SessionState().persist_uuid.clear();
    SessionState().system_version.clear();
    SessionState().screen_width = 0;
    SessionState().screen_height = 0;
    ASSERT_TRUE(mirto::CreateSavePath(FreshAppId(L"Start")));
    SessionState().identify_id =
        mirto::LoadOrCreateId(SessionState().profile_path, mirto::kIdentityKey);
    SessionState().channel = L"test-channel";
    SessionState().game_version = game_version;
    SessionState().index_name = L"mirto_test";
}

TEST(DeviceInfo, InstallationIdIsStoredCopiedAndKept) {
    StartLikeTheHandler(L"1.0");
    mirto::CollectDeviceInfo();

    const std::wstring id = SessionState().install_uuid;
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of(L"0123456789abcdefghijklmnopqrstuvwxyz"), std::wstring::npos);
    EXPECT_EQ(SessionState().persist_uuid, id);
    EXPECT_NE(id, SessionState().identify_id);
    EXPECT_EQ(mirto::ReadProfileValue(SessionState().profile_path, mirto::kInstallationKey), id);

    // A later process of the same installation loads the stored one.
    SessionState().install_uuid.clear();
    SessionState().persist_uuid.clear();
    SessionState().system_version.clear();
    mirto::CollectDeviceInfo();
    EXPECT_EQ(SessionState().install_uuid, id);
    EXPECT_EQ(SessionState().persist_uuid, id);
}

TEST(DeviceInfo, UnstorableInstallationIdLeavesBothIdsEmpty) {
    StartLikeTheHandler(L"1.0");
    // A profile file in a folder that was never made cannot be written.
    SessionState().profile_path = SessionState().profile_path + L".missing\\mirto.ini";
    SessionState().install_uuid = L"stale";
    SessionState().persist_uuid = L"stale";
    mirto::CollectDeviceInfo();
    EXPECT_EQ(SessionState().install_uuid, L"");
    EXPECT_EQ(SessionState().persist_uuid, L"");
}

TEST(DeviceInfo, ScreenSizeAndSystemVersion) {
    StartLikeTheHandler(L"1.0");
    mirto::CollectDeviceInfo();

    EXPECT_EQ(SessionState().screen_width, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(SessionState().screen_height, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_GT(SessionState().screen_width, 0);
    EXPECT_GT(SessionState().screen_height, 0);

    // The version as the same compatibility rules report it, from a second source.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(SessionState().system_version, L"Windows " + std::to_wstring(version.dwMajorVersion) +
                                                 L"." + std::to_wstring(version.dwMinorVersion));
}

TEST(DeviceInfo, GivenGameVersionIsNeverReplaced) {
    for (const wchar_t* given : {L"1.4.2", L"unknown", L"0"}) {
        SCOPED_TRACE(given);
        StartLikeTheHandler(given);
        mirto::CollectDeviceInfo();
        EXPECT_EQ(SessionState().game_version, given);
    }
}

TEST(DeviceInfo, EmptyGameVersionBecomesTheExecutablesFileVersion) {
    StartLikeTheHandler(L"");
    mirto::CollectDeviceInfo();
    EXPECT_EQ(SessionState().game_version, L"2.0.3.1");
}

TEST(FileVersion, FixedFileVersionWithAllDigitsOfEachPart) {
    EXPECT_EQ(mirto::FileVersionOf(OwnPath()), L"2.0.3.1");
    EXPECT_EQ(mirto::FileVersionOf(OwnFolder() + L"version_parts.dll"), L"10.0.19041.65535");
}

TEST(FileVersion, FilesWithoutAVersionResourceGiveNothing) {
    StartLikeTheHandler(L"1.0");
    // A program built without a resource, a text file and a path to nothing.
    EXPECT_EQ(mirto::FileVersionOf(OwnFolder() + L"id_process.exe"), L"");
    EXPECT_EQ(mirto::FileVersionOf(SessionState().profile_path), L"");
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
