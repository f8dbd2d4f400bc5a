// The outbox against real files in the prefix's local application-data folder: order across
// reopening, the caps and which reports they give up, damaged, temporary and foreign files,
// the lock, and the marks of attempted reports. Every test uses application ids of its own.
#include "outbox/outbox.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "outbox/outbox_removal.h"
#include "outbox/stored_report.h"
#include "support/process.h"

namespace {

using mirto::Outbox;
using mirto::OutboxDrops;
using mirto::OutboxPriority;
using mirto::StoredReport;

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring FolderOf(const std::wstring& app_id) {
    wchar_t base[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base),
              S_OK);
    return std::wstring(base) + L"\\mirto\\" + app_id + L"\\outbox\\";
}

StoredReport Report(const std::string& body, OutboxPriority priority = OutboxPriority::kDropLast) {
    StoredReport report;
    report.priority = priority;
    report.port = 443;
    report.created_ms = 1000;
    report.host = u"collector.test";
    report.path = u"/event";
    report.body = body;
    return report;
}

// One report's part of an outbox file: its sequence number (8 bytes, little endian), then the
// report.
std::string Part(std::uint64_t sequence, const StoredReport& report) {
    std::string part;
    for (int i = 0; i < 8; ++i) part.push_back(static_cast<char>((sequence >> (8 * i)) & 0xFF));
    return part + mirto::EncodeStoredReport(report);
}

// Stores purchases "c0", "c1", ... each padded with `pad`, one at a time, until one more would
// pass the byte cap; returns how many were stored.
std::size_t FillToTheByteCap(Outbox& outbox, const std::string& pad, OutboxDrops& drops) {
    std::size_t stored = 0;
    while (outbox.bytes() + Part(1, Report("x" + pad)).size() <= mirto::kOutboxMaxBytes) {
        if (outbox.Store(Report("c" + std::to_string(stored++) + pad), drops) !=
            Outbox::StoreResult::kStored) {
            ADD_FAILURE() << "store " << stored << " failed";
            break;
        }
    }
    return stored;
}

// The bodies of the saved reports, oldest first, as the outbox hands them out (removing each).
std::vector<std::string> Drain(Outbox& outbox, OutboxDrops& drops) {
    std::vector<std::string> bodies;
    while (const std::optional<StoredReport> report = outbox.Oldest(drops)) {
        bodies.push_back(report->body);
        EXPECT_TRUE(outbox.RemoveOldest());
    }
    while (outbox.RemoveOneDelivered()) {
    }
    return bodies;
}

std::vector<std::wstring> FileNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW((folder + L"*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(data.cFileName);
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return names;
}

void WriteFile(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

TEST(Outbox, ReportsLeaveInTheOrderTheyWereStoredAcrossReopening) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"order");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(outbox->Store(Report("r" + std::to_string(i)), drops),
                      Outbox::StoreResult::kStored);
        }
        // Two are sent, then the process goes.
        ASSERT_EQ(outbox->Oldest(drops)->body, "r0");
        ASSERT_TRUE(outbox->RemoveOldest());
        ASSERT_EQ(outbox->Oldest(drops)->body, "r1");
        ASSERT_TRUE(outbox->RemoveOldest());
    }
    std::unique_ptr<Outbox> again = Outbox::Open(app_id, drops);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->size(), 18U);
    ASSERT_EQ(again->Store(Report("later"), drops), Outbox::StoreResult::kStored);
    std::vector<std::string> expected;
    for (int i = 2; i < 20; ++i) expected.push_back("r" + std::to_string(i));
    expected.push_back("later");
    EXPECT_EQ(Drain(*again, drops), expected);
    EXPECT_EQ(drops.full, 0U);
    EXPECT_EQ(drops.damaged, 0U);
    // Only the lock and the attempt file are left.
    std::vector<std::wstring> left = FileNames(FolderOf(app_id));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::wstring>{L"attempt", L"lock"}));
}

TEST(Outbox, AReportTheCollectorAcceptedIsNeverSentAgainEvenIfItsFileOutlivedTheProcess) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"accepted");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        for (const char* body : {"a", "b", "c"}) outbox->Store(Report(body), drops);
        ASSERT_EQ(outbox->Oldest(drops)->body, "a");
        ASSERT_TRUE(outbox->RemoveOldest());  // accepted; the process ends before the file goes
        ASSERT_EQ(outbox->Oldest(drops)->body, "b");
        ASSERT_TRUE(outbox->RemoveOldest());
        EXPECT_EQ(FileNames(FolderOf(app_id)).size(), 2U + 3U);  // lock, attempt, a, b, c
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(outbox->size(), 1U);
    EXPECT_EQ(Drain(*outbox, drops), std::vector<std::string>{"c"});
    EXPECT_EQ(drops.damaged, 0U);
    std::vector<std::wstring> left = FileNames(FolderOf(app_id));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::wstring>{L"attempt", L"lock"}));
    // Sequence numbers go on after the accepted ones.
    ASSERT_EQ(outbox->Store(Report("d"), drops), Outbox::StoreResult::kStored);
    EXPECT_EQ(outbox->oldest_sequence(), 4U);
}

TEST(Outbox, ABatchIsOneFileAndAReportGivenUpFromItIsGoneForGood) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"batch");
    OutboxDrops drops;
    const std::string pad(2048 - 16, '.');
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        // A batch of purchases with one level event in its middle, then purchases up to the
        // byte cap, one file each.
        std::vector<StoredReport> batch;
        for (int i = 0; i < 5; ++i) {
            batch.push_back(Report("b" + std::to_string(i) + pad, i == 2
                                                                      ? OutboxPriority::kDropFirst
                                                                      : OutboxPriority::kDropLast));
        }
        ASSERT_EQ(outbox->Store(batch, drops), Outbox::StoreResult::kStored);
        EXPECT_EQ(FileNames(FolderOf(app_id)).size(), 2U + 1U);  // lock, attempt, the batch
        FillToTheByteCap(*outbox, pad, drops);
        // One more purchase: the level event in the batch goes, and its file is rewritten.
        ASSERT_EQ(outbox->Store(Report("last" + pad), drops), Outbox::StoreResult::kStored);
        EXPECT_EQ(drops.full, 1U);
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    const std::vector<std::string> order = Drain(*outbox, drops);
    ASSERT_GE(order.size(), 5U);
    EXPECT_EQ(order[0].substr(0, 2), "b0");
    EXPECT_EQ(order[1].substr(0, 2), "b1");
    EXPECT_EQ(order[2].substr(0, 2), "b3");  // b2 was given up, also on disk
    EXPECT_EQ(order[3].substr(0, 2), "b4");
    EXPECT_EQ(order.back().substr(0, 4), "last");
    EXPECT_EQ(drops.damaged, 0U);
}

TEST(Outbox, OneProcessAtATimeHoldsTheOutbox) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"lock");
    OutboxDrops drops;
    std::unique_ptr<Outbox> first = Outbox::Open(app_id, drops);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Outbox::Open(app_id, drops), nullptr);
    first.reset();
    EXPECT_NE(Outbox::Open(app_id, drops), nullptr);
}

TEST(Outbox, DamagedFilesAreRemovedAndCountedTemporariesRemovedForeignFilesLeftAlone) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"damage");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        for (const char* body : {"a", "b", "c", "d"}) outbox->Store(Report(body), drops);
    }
    const std::wstring folder = FolderOf(app_id);
    // "b" loses its last byte, "c" is replaced by garbage of the same name; a temporary
    // left by a process that died while writing, and files that are not the outbox's.
    std::string cut = Part(2, Report("b"));
    cut.pop_back();
    WriteFile(folder + L"0000000000000002.rpt", cut);
    WriteFile(folder + L"0000000000000003.rpt", "not a report at all");
    WriteFile(folder + L"0000000000000009.tmp", Part(9, Report("half")));
    WriteFile(folder + L"notes.txt", "mine");
    WriteFile(folder + L"00000000000000zz.rpt", Part(1000, Report("foreign")));

    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        EXPECT_EQ(drops.damaged, 2U);
        EXPECT_EQ(Drain(*outbox, drops), (std::vector<std::string>{"a", "d"}));
        std::vector<std::wstring> left = FileNames(folder);
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::wstring>{L"00000000000000zz.rpt", L"attempt", L"lock",
                                                   L"notes.txt"}));
        outbox->Store(Report("e"), drops);  // after the temporary's number: 000...0a
        outbox->Store(Report("f"), drops);
    }
    // A file damaged after it was listed is found out when it is read, and skipped.
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    WriteFile(folder + L"000000000000000a.rpt", "garbage");
    EXPECT_EQ(Drain(*outbox, drops), std::vector<std::string>{"f"});
    EXPECT_EQ(drops.damaged, 3U);
}

TEST(Outbox, WhenFullLevelAndServerEventsGoFirstThenTheOldestOfTheRest) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"caps");
    OutboxDrops drops;
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    // Bodies of 2 KiB: the byte cap (4 MiB) is reached first, at a little under 2048 files.
    const std::string pad(2048 - 16, '.');
    const std::size_t file_bytes = Part(1, Report("k00000" + pad)).size();
    const std::size_t fit = static_cast<std::size_t>(mirto::kOutboxMaxBytes / file_bytes);
    ASSERT_LT(fit, mirto::kOutboxMaxReports);
    std::size_t stored = 0;
    for (; stored < fit; ++stored) {
        // Every third report is a level event; the rest are purchases and identifies.
        const OutboxPriority priority =
            stored % 3 == 0 ? OutboxPriority::kDropFirst : OutboxPriority::kDropLast;
        char tag[8];
        std::snprintf(tag, sizeof(tag), "k%05zu", stored);
        ASSERT_EQ(outbox->Store(Report(tag + pad, priority), drops), Outbox::StoreResult::kStored);
    }
    EXPECT_EQ(drops.full, 0U);
    EXPECT_LE(outbox->bytes(), mirto::kOutboxMaxBytes);

    // A purchase more: the oldest level event (k00000) goes.
    ASSERT_EQ(outbox->Store(Report("p00001" + pad), drops), Outbox::StoreResult::kStored);
    EXPECT_EQ(drops.full, 1U);
    EXPECT_EQ(outbox->size(), fit);
    EXPECT_EQ(outbox->Oldest(drops)->body.substr(0, 6), "k00001");

    // A level event more, while level events are stored: again the oldest level event (k00003).
    ASSERT_EQ(outbox->Store(Report("l00001" + pad, OutboxPriority::kDropFirst), drops),
              Outbox::StoreResult::kStored);
    EXPECT_EQ(drops.full, 2U);
    EXPECT_LE(outbox->bytes(), mirto::kOutboxMaxBytes);

    std::vector<std::string> order = Drain(*outbox, drops);
    ASSERT_EQ(order.size(), fit);
    EXPECT_EQ(order[0].substr(0, 6), "k00001");
    EXPECT_EQ(order[1].substr(0, 6), "k00002");
    EXPECT_EQ(order[2].substr(0, 6), "k00004");  // k00003 was given up
    EXPECT_EQ(order[fit - 2].substr(0, 6), "p00001");
    EXPECT_EQ(order[fit - 1].substr(0, 6), "l00001");
}

TEST(Outbox, AFullOutboxOfPurchasesGivesUpANewLevelEventAndThenTheOldestPurchase) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"keep");
    OutboxDrops drops;
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    // 2 KiB bodies: 2040 or so fit within the byte cap.
    const std::string pad(2048 - 16, '.');
    const std::size_t stored = FillToTheByteCap(*outbox, pad, drops);
    ASSERT_EQ(drops.full, 0U);
    EXPECT_EQ(outbox->Store(Report("level" + pad, OutboxPriority::kDropFirst), drops),
              Outbox::StoreResult::kStored);  // stored as nothing: it was given up
    EXPECT_EQ(drops.full, 1U);
    EXPECT_EQ(outbox->size(), stored);
    EXPECT_EQ(outbox->Store(Report("new" + pad), drops), Outbox::StoreResult::kStored);
    EXPECT_EQ(drops.full, 2U);
    EXPECT_EQ(outbox->Oldest(drops)->body.substr(0, 2), "c1");
}

TEST(Outbox, AReportAttemptedByAnEarlierProcessIsKnownAsSuch) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"tried");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        outbox->Store(Report("a"), drops);
        outbox->Store(Report("b"), drops);
        EXPECT_FALSE(outbox->MarkOldestTried());  // first attempt ever
        EXPECT_FALSE(outbox->MarkOldestTried());  // this process's own mark
    }
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        EXPECT_TRUE(outbox->MarkOldestTried());
        outbox->UnmarkOldestTried();  // an earlier process's mark stays
        ASSERT_TRUE(outbox->RemoveOldest());
        EXPECT_FALSE(outbox->MarkOldestTried());  // "b": never attempted before
        outbox->UnmarkOldestTried();              // no connection was made after all
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(outbox->Oldest(drops)->body, "b");
    EXPECT_FALSE(outbox->MarkOldestTried());
}

TEST(OutboxDiscard, AnIdThatIsNoFolderNameRemovesNothingOutsideTheLibrarysFolder) {
    // "..\outbox\" below the library's folder is "<LocalAppData>\outbox\": not the library's.
    const std::wstring foreign = FolderOf(L"..");
    ASSERT_TRUE(CreateDirectoryW(foreign.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    const std::wstring file = foreign + L"lock";
    const HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    mirto::PatientRemoval removal(0);
    const mirto::OutboxDiscard discard = mirto::DiscardOutbox(L"..", removal);
    EXPECT_TRUE(discard.removed);  // nothing of the library's was there
    EXPECT_EQ(discard.reports, 0u);
    EXPECT_TRUE(Exists(file));
    DeleteFileW(file.c_str());
    RemoveDirectoryW(foreign.c_str());
}

TEST(OutboxDiscard, AnOutboxInUseElsewhereIsLeftWholeAndSaysSo) {
    const std::wstring app_id = L"discard-held-" + std::to_wstring(GetCurrentProcessId());
    OutboxDrops drops;
    std::unique_ptr<Outbox> holder = Outbox::Open(app_id, drops);
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(holder->Store(Report("kept"), drops), Outbox::StoreResult::kStored);
    mirto::PatientRemoval removal(0);
    const mirto::OutboxDiscard held = mirto::DiscardOutbox(app_id, removal);
    EXPECT_FALSE(held.removed);
    WIN32_FIND_DATAW data;
    const HANDLE saved = FindFirstFileW((FolderOf(app_id) + L"*.rpt").c_str(), &data);
    EXPECT_NE(saved, INVALID_HANDLE_VALUE) << "the saved report's file was removed";
    if (saved != INVALID_HANDLE_VALUE) FindClose(saved);
    holder.reset();
    // Let go of, it goes, its report counted.
    const mirto::OutboxDiscard discard = mirto::DiscardOutbox(app_id, removal);
    EXPECT_TRUE(discard.removed);
    EXPECT_EQ(discard.reports, 1u);
    EXPECT_FALSE(Exists(FolderOf(app_id)));
}

}  // namespace
