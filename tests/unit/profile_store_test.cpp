// The save folder, the profile store and the id generator, against real profile files in the
// prefix's application-data folder. Every test uses application ids of its own (process id,
// tick count and a counter), so reruns in the same prefix start from missing folders.
#include "platform/profile_store.h"

#include <windows.h>

#include <shlobj.h>

#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/id_generator.h"
#include "platform/save_path.h"
#include "support/process.h"

namespace {

using mirto::kIdentityKey;
using mirto::kInstallationKey;
using mirto::kProfileSection;

const std::wstring kAlphabet = L"0123456789abcdefghijklmnopqrstuvwxyz";

std::wstring AppDataFolder() {
    wchar_t base[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base), S_OK);
    return base;
}

std::wstring FreshAppId(const std::wstring& tag) { return mirto_test::FreshAppId(L"pstest", tag); }

std::wstring ProfileFileOf(const std::wstring& app_id) {
    return AppDataFolder() + L"\\mirto\\" + app_id + L"\\mirto.ini";
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The profile file of a new application id, made as the start handler makes it.
std::wstring FreshProfile(const std::wstring& tag) {
    const std::wstring app_id = FreshAppId(tag);
    const std::optional<std::wstring> path = mirto::CreateSavePath(app_id);
    EXPECT_TRUE(path);
    return path.value_or(L"");
}

std::string FileBytes(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    return bytes;
}

// The keys of the section, in file order.
std::vector<std::wstring> SectionKeys(const std::wstring& file) {
    std::vector<wchar_t> buffer(8192);
    GetPrivateProfileSectionW(kProfileSection, buffer.data(), static_cast<DWORD>(buffer.size()),
                              file.c_str());
    std::vector<std::wstring> keys;
    for (const wchar_t* line = buffer.data(); *line != L'\0'; line += wcslen(line) + 1) {
        const std::wstring text = line;
        keys.push_back(text.substr(0, text.find(L'=')));
    }
    return keys;
}

std::wstring EntryText(const std::wstring& file, const std::wstring& key) {
    std::vector<wchar_t> buffer(4096);
    GetPrivateProfileStringW(kProfileSection, key.c_str(), L"", buffer.data(),
                             static_cast<DWORD>(buffer.size()), file.c_str());
    return buffer.data();
}

bool WriteLengthEntry(const std::wstring& file, const std::wstring& key, std::uint32_t length) {
    unsigned char bytes[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    return WritePrivateProfileStructW(kProfileSection, (key + L"__length").c_str(), bytes,
                                      sizeof(bytes), file.c_str()) != FALSE;
}

bool IsGeneratedId(const std::wstring& id) {
    return id.size() == 32 && id.find_first_not_of(kAlphabet) == std::wstring::npos;
}

// --- CreateSavePath ---------------------------------------------------------------------

TEST(SavePath, FirstCallCreatesFoldersAndEmptyFileAndReturnsItsPath) {
    const std::wstring app_id = FreshAppId(L"Create");
    const std::wstring expected = ProfileFileOf(app_id);
    ASSERT_FALSE(Exists(AppDataFolder() + L"\\mirto\\" + app_id));

    const std::optional<std::wstring> path = mirto::CreateSavePath(app_id);
    ASSERT_TRUE(path);

    EXPECT_EQ(*path, expected);
    const DWORD folder = GetFileAttributesW((AppDataFolder() + L"\\mirto\\" + app_id).c_str());
    ASSERT_NE(folder, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(folder & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(FileBytes(expected), "");
}

TEST(SavePath, SecondCallLeavesExistingFileUntouched) {
    const std::wstring app_id = FreshAppId(L"Again");
    const std::optional<std::wstring> first = mirto::CreateSavePath(app_id);
    ASSERT_TRUE(first);
    const std::wstring file = *first;
    ASSERT_TRUE(WritePrivateProfileStringW(L"OTHER", L"keep", L"this", file.c_str()));
    ASSERT_TRUE(mirto::WriteProfileValue(file, kIdentityKey, L"0123456789abcdef"));
    const std::string content = FileBytes(file);
    ASSERT_NE(content, "");

    const std::optional<std::wstring> again = mirto::CreateSavePath(app_id);
    ASSERT_TRUE(again);

    EXPECT_EQ(*again, file);
    EXPECT_EQ(FileBytes(file), content);
}

TEST(SavePath, ApplicationIdThatCannotBeAFolderNameFailsWithoutAPath) {
    // Each of these is refused by CreateDirectoryW: characters a file name cannot hold, and a
    // sub-folder of a folder that does not exist.
    const std::wstring prefix = FreshAppId(L"Bad");
    for (const wchar_t* suffix :
         {L"a|b", L"a<b", L"a>b", L"a*b", L"a?b", L"a\"b", L"missing\\child"}) {
        const std::wstring app_id = prefix + suffix;
        SCOPED_TRACE(app_id);
        const std::optional<std::wstring> path = mirto::CreateSavePath(app_id);
        EXPECT_FALSE(path);
        EXPECT_EQ(path.value_or(L""), L"");
        EXPECT_FALSE(Exists(ProfileFileOf(app_id)));
    }
}

// --- ReadProfileValue / WriteProfileValue -------------------------------------------------

TEST(ProfileValue, WritesLengthAndUtf16BytesWithTerminatorAndReadsThemBack) {
    const std::wstring file = FreshProfile(L"Bytes");
    const std::wstring value = L"Ab9-\x00E9\x4E2D";  // non-ASCII units must survive whole
    ASSERT_TRUE(mirto::WriteProfileValue(file, L"Some", value));

    unsigned char length[4] = {};
    ASSERT_TRUE(
        GetPrivateProfileStructW(kProfileSection, L"Some__length", length, 4, file.c_str()));
    EXPECT_EQ((std::array<unsigned char, 4>{length[0], length[1], length[2], length[3]}),
              (std::array<unsigned char, 4>{14, 0, 0, 0}));
    unsigned char bytes[14] = {};
    ASSERT_TRUE(GetPrivateProfileStructW(kProfileSection, L"Some", bytes, 14, file.c_str()));
    const unsigned char expected[14] = {'A', 0, 'b', 0, '9', 0, '-', 0, 0xE9, 0, 0x2D, 0x4E, 0, 0};
    EXPECT_EQ(std::string(bytes, bytes + 14), std::string(expected, expected + 14));

    EXPECT_EQ(mirto::ReadProfileValue(file, L"Some"), value);
    EXPECT_EQ(mirto::ReadProfileValue(file, L"Other"), L"");
    EXPECT_EQ(mirto::ReadProfileValue(ProfileFileOf(FreshAppId(L"NoFile")), L"Some"), L"");
}

TEST(ProfileValue, LengthEntriesAboveTheLimitAreRefusedAndTheLimitItselfIsRead) {
    const std::wstring file = FreshProfile(L"Limit");
    // 255 code units and the terminator make exactly 512 bytes.
    const std::wstring at_limit(255, L'x');
    ASSERT_TRUE(mirto::WriteProfileValue(file, L"AtLimit", at_limit));
    EXPECT_EQ(mirto::ReadProfileValue(file, L"AtLimit"), at_limit);

    // Well-formed pairs of 514 and 600 bytes: readable by the platform, refused by the limit.
    ASSERT_TRUE(mirto::WriteProfileValue(file, L"JustOver", std::wstring(256, L'y')));
    EXPECT_EQ(mirto::ReadProfileValue(file, L"JustOver"), L"");
    ASSERT_TRUE(mirto::WriteProfileValue(file, L"Over", std::wstring(299, L'z')));
    EXPECT_EQ(mirto::ReadProfileValue(file, L"Over"), L"");

    // A length entry claiming far more than the value holds.
    for (const std::uint32_t claimed : {0x7FFFFFFFu, 0xFFFFFFFFu, 600u, 0u}) {
        SCOPED_TRACE(claimed);
        ASSERT_TRUE(mirto::WriteProfileValue(file, L"Claim", at_limit));
        ASSERT_TRUE(WriteLengthEntry(file, L"Claim", claimed));
        EXPECT_EQ(mirto::ReadProfileValue(file, L"Claim"), L"");
    }
}

TEST(ProfileValue, WriteIntoMissingFolderFailsAndNoIdIsGiven) {
    const std::wstring file = ProfileFileOf(FreshAppId(L"NoFolder"));
    EXPECT_FALSE(mirto::WriteProfileValue(file, kIdentityKey, L"0123456789abcdef"));
    EXPECT_EQ(mirto::LoadOrCreateId(file, kIdentityKey), L"");
}

// --- LoadOrCreateId -----------------------------------------------------------------------

TEST(LoadOrCreateId, FreshFileGetsTwoIdsInStartOrderAndKeepsThem) {
    const std::wstring file = FreshProfile(L"Fresh");
    const std::wstring identity = mirto::LoadOrCreateId(file, kIdentityKey);
    const std::wstring installation = mirto::LoadOrCreateId(file, kInstallationKey);

    EXPECT_TRUE(IsGeneratedId(identity)) << identity;
    EXPECT_TRUE(IsGeneratedId(installation)) << installation;
    EXPECT_NE(identity, installation);
    EXPECT_EQ(SectionKeys(file),
              (std::vector<std::wstring>{L"MirtoId__length", L"MirtoId", L"InstallUUID__length",
                                         L"InstallUUID"}));
    unsigned char length[4] = {};
    ASSERT_TRUE(
        GetPrivateProfileStructW(kProfileSection, L"MirtoId__length", length, 4, file.c_str()));
    EXPECT_EQ(length[0] | length[1] << 8 | length[2] << 16 | length[3] << 24, 66);

    const std::string before = FileBytes(file);
    EXPECT_EQ(mirto::LoadOrCreateId(file, kIdentityKey), identity);
    EXPECT_EQ(mirto::LoadOrCreateId(file, kInstallationKey), installation);
    EXPECT_EQ(FileBytes(file), before) << "a valid id is never rewritten";
}

TEST(LoadOrCreateId, StoredIdsOf16To64UnitsAreKeptAsStoredOthersReplaced) {
    struct Case {
        std::size_t units;
        bool kept;
    };
    for (const Case& c : {Case{15, false}, Case{16, true}, Case{64, true}, Case{65, false},
                          Case{1, false}, Case{32, true}}) {
        SCOPED_TRACE(c.units);
        const std::wstring file = FreshProfile(L"Len" + std::to_wstring(c.units));
        std::wstring stored;
        for (std::size_t i = 0; i < c.units; ++i) stored.push_back(L"AZ-x9_ "[i % 7]);
        ASSERT_TRUE(mirto::WriteProfileValue(file, kIdentityKey, stored));

        const std::wstring loaded = mirto::LoadOrCreateId(file, kIdentityKey);
        if (c.kept) {
            EXPECT_EQ(loaded, stored);
        } else {
            EXPECT_TRUE(IsGeneratedId(loaded)) << loaded;
        }
        EXPECT_EQ(mirto::ReadProfileValue(file, kIdentityKey), loaded);
    }
}

TEST(LoadOrCreateId, DamagedOrMismatchedEntriesLeadToANewStoredId) {
    struct Case {
        const char* what;
        void (*damage)(const std::wstring& file);
    };
    const Case cases[] = {
        {"value digit flipped",
         [](const std::wstring& file) {
             std::wstring text = EntryText(file, kIdentityKey);
             ASSERT_EQ(text.size(), 2u * 66u + 2u) << "66 bytes and a checksum byte, in hex";
             text[4] = text[4] == L'0' ? L'1' : L'0';
             ASSERT_TRUE(WritePrivateProfileStringW(kProfileSection, kIdentityKey, text.c_str(),
                                                    file.c_str()));
         }},
        {"length records fewer bytes",
         [](const std::wstring& file) { ASSERT_TRUE(WriteLengthEntry(file, kIdentityKey, 64)); }},
        {"length records more bytes",
         [](const std::wstring& file) { ASSERT_TRUE(WriteLengthEntry(file, kIdentityKey, 68)); }},
        {"length entry missing",
         [](const std::wstring& file) {
             ASSERT_TRUE(WritePrivateProfileStringW(kProfileSection, L"MirtoId__length", nullptr,
                                                    file.c_str()));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring file = FreshProfile(L"Damage");
        const std::wstring original = mirto::LoadOrCreateId(file, kIdentityKey);
        ASSERT_TRUE(IsGeneratedId(original));
        c.damage(file);
        EXPECT_EQ(mirto::ReadProfileValue(file, kIdentityKey), L"");

        const std::wstring replacement = mirto::LoadOrCreateId(file, kIdentityKey);
        EXPECT_TRUE(IsGeneratedId(replacement)) << replacement;
        EXPECT_NE(replacement, original);
        EXPECT_EQ(mirto::ReadProfileValue(file, kIdentityKey), replacement);
    }
}

TEST(LoadOrCreateId, TwoApplicationsHaveSeparateFilesAndIds) {
    const std::wstring first = FreshProfile(L"AppA");
    const std::wstring second = FreshProfile(L"AppB");
    ASSERT_NE(first, second);
    const std::wstring first_id = mirto::LoadOrCreateId(first, kIdentityKey);
    const std::wstring second_id = mirto::LoadOrCreateId(second, kIdentityKey);
    EXPECT_NE(first_id, second_id);
    EXPECT_EQ(mirto::ReadProfileValue(first, kIdentityKey), first_id);
    EXPECT_EQ(mirto::ReadProfileValue(second, kIdentityKey), second_id);
    EXPECT_EQ(SectionKeys(second), (std::vector<std::wstring>{L"MirtoId__length", L"MirtoId"}));
}

// --- GenerateId ---------------------------------------------------------------------------

TEST(GenerateId, ManyIdsAreDistinctWellFormedAndUseEveryCharacterEvenly) {
    // 320 000 characters: each of the 36 is expected 8 889 times with a standard deviation
    // of about 93. The band of +-8 % is over 7 deviations wide on each side, so a fair
    // generator never leaves it, while taking bytes modulo 36 without redrawing gives the
    // first four characters 12.5 % too many.
    constexpr int kIds = 10000;
    std::set<std::wstring> seen;
    std::array<long, 36> counts{};
    for (int i = 0; i < kIds; ++i) {
        const std::wstring id = mirto::GenerateId();
        ASSERT_TRUE(IsGeneratedId(id)) << id;
        seen.insert(id);
        for (wchar_t c : id) ++counts[kAlphabet.find(c)];
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kIds));
    const double expected = kIds * 32.0 / 36.0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        SCOPED_TRACE(std::wstring(1, kAlphabet[i]).c_str());
        EXPECT_GT(static_cast<double>(counts[i]), expected * 0.92);
        EXPECT_LT(static_cast<double>(counts[i]), expected * 1.08);
    }
}

// --- Separate processes -------------------------------------------------------------------

// Runs the helper once per argument line, all started suspended and let go at once; gives
// what each printed, or "exit <code>" when it failed.
std::vector<std::string> RunHelpersTogether(const std::vector<std::wstring>& arguments) {
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring helper = own;
    helper = helper.substr(0, helper.find_last_of(L"\\/") + 1) + L"id_process.exe";

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    std::vector<HANDLE> reads, writes, processes, threads;
    for (const std::wstring& argument : arguments) {
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inherit, 0)) break;
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        reads.push_back(read_end);
        writes.push_back(write_end);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write_end;
        startup.hStdError = write_end;
        std::wstring command = L"\"" + helper + L"\" " + argument;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                            nullptr, nullptr, &startup, &process)) {
            break;
        }
        processes.push_back(process.hProcess);
        threads.push_back(process.hThread);
    }
    for (HANDLE thread : threads) ResumeThread(thread);
    if (!processes.empty()) {
        WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), TRUE,
                               INFINITE);
    }
    for (HANDLE write_end : writes) CloseHandle(write_end);
    std::vector<std::string> outputs;
    for (std::size_t i = 0; i < processes.size(); ++i) {
        std::string output;
        char chunk[256];
        DWORD got = 0;
        while (ReadFile(reads[i], chunk, sizeof(chunk), &got, nullptr) && got > 0) {
            output.append(chunk, got);
        }
        DWORD exit_code = 0;
        GetExitCodeProcess(processes[i], &exit_code);
        outputs.push_back(exit_code == 0 ? output : "exit " + std::to_string(exit_code));
        CloseHandle(processes[i]);
        CloseHandle(threads[i]);
    }
    for (HANDLE read_end : reads) CloseHandle(read_end);
    return outputs;
}

// Two games started for the first time at the same moment on one machine: four ids, all
// different, each stored where its process said.
TEST(SeparateProcesses, StartedTogetherTheyMakeDifferentIds) {
    const std::wstring first_app = FreshAppId(L"ProcA");
    const std::wstring second_app = FreshAppId(L"ProcB");
    const std::vector<std::string> outputs =
        RunHelpersTogether({L"ids " + first_app, L"ids " + second_app});
    ASSERT_EQ(outputs.size(), 2u);
    std::set<std::wstring> ids;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        ASSERT_EQ(outputs[i].size(), 66u) << outputs[i];
        const std::wstring identity(outputs[i].begin(), outputs[i].begin() + 32);
        const std::wstring installation(outputs[i].begin() + 33, outputs[i].begin() + 65);
        EXPECT_TRUE(IsGeneratedId(identity) && IsGeneratedId(installation)) << outputs[i];
        const std::wstring file = ProfileFileOf(i == 0 ? first_app : second_app);
        EXPECT_EQ(mirto::ReadProfileValue(file, kIdentityKey), identity);
        EXPECT_EQ(mirto::ReadProfileValue(file, kInstallationKey), installation);
        ids.insert(identity);
        ids.insert(installation);
    }
    EXPECT_EQ(ids.size(), 4u);
}

}  // namespace
