// The outbox against real files in the prefix's local application-data folder: order across
// reopening, the caps and which reports they give up, damaged, temporary, foreign and earlier
// versions' files, the lock, the marks of attempted and accepted reports, files that other
// programs hold for a while, and what a power loss leaves. Every test uses application ids of
// its own.
#include "outbox/outbox.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/delivery.h"
#include "core/delivery_stats.h"
#include "outbox/outbox_removal.h"
#include "outbox/stored_report.h"
#include "support/failing_heap.h"
#include "support/import_patch.h"
#include "support/process.h"
#include "transport/attempt.h"
#include "transport/protocol.h"
#include "win/wall_clock.h"

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

StoredReport Report(const std::string& body, OutboxPriority priority = OutboxPriority::kDropLast,
                    std::uint64_t created_ms = 0, const std::u16string& host = u"collector.test") {
    StoredReport report;
    report.priority = priority;
    report.port = 443;
    report.created_ms = created_ms != 0 ? created_ms : mirto::WallClockMs();
    report.host = host;
    report.path = u"/event";
    report.body = body;
    return report;
}

// One report's part of a file of the version before batches had headers: its sequence number
// (8 bytes, little endian), then the report.
std::string Part(std::uint64_t sequence, const StoredReport& report) {
    std::string part;
    for (int i = 0; i < 8; ++i) part.push_back(static_cast<char>((sequence >> (8 * i)) & 0xFF));
    return part + mirto::EncodeStoredReport(report);
}

std::wstring Name(std::uint64_t sequence, const wchar_t* extension = L".rpt") {
    wchar_t name[32];
    std::swprintf(name, 32, L"%016llx%ls", static_cast<unsigned long long>(sequence), extension);
    return name;
}

// Stores purchases "c0", "c1", ... each padded with `pad`, one at a time, until one more would
// pass the byte cap; returns how many were stored.
std::size_t FillToTheByteCap(Outbox& outbox, const std::string& pad) {
    std::size_t stored = 0;
    // A part, plus the batch header each store adds, plus a file header now and then.
    const std::size_t each = Part(1, Report("x" + pad)).size() + 16;
    while (outbox.bytes() + each + 16 <= mirto::kOutboxMaxBytes) {
        if (outbox.Store(Report("c" + std::to_string(stored++) + pad)) !=
            Outbox::StoreResult::kStored) {
            ADD_FAILURE() << "store " << stored << " failed";
            break;
        }
    }
    return stored;
}

// The bodies of the saved reports in the order the outbox hands them out, each accepted in
// turn; then the outbox's chores until none is left.
std::vector<std::string> Drain(Outbox& outbox) {
    std::vector<std::string> bodies;
    while (const std::optional<Outbox::Pick> pick = outbox.Next()) {
        bodies.push_back(pick->report.body);
        EXPECT_TRUE(outbox.Accepted(pick->sequence));
    }
    while (outbox.DoChore()) {
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
    std::sort(names.begin(), names.end());
    return names;
}

// What the saved files take on the disk, as the system lists them.
std::uint64_t SavedBytes(const std::wstring& folder) {
    std::uint64_t bytes = 0;
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW((folder + L"*.rpt").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        bytes += (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return bytes;
}

void WriteFile(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadFile(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return bytes;
}

// A file held open without any sharing (or sharing only reading), as a scanner or a backup tool
// holds it, from another thread, until it lets go after the time given (or when this goes).
class HeldFile {
   public:
    HeldFile(const std::wstring& path, DWORD release_after_ms, DWORD share = 0)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)),
          release_after_ms_(release_after_ms) {
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << "cannot hold the file";
        thread_ = CreateThread(nullptr, 0, LetGo, this, 0, nullptr);
    }
    ~HeldFile() {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

   private:
    static DWORD WINAPI LetGo(void* parameter) {
        auto* held = static_cast<HeldFile*>(parameter);
        Sleep(held->release_after_ms_);
        CloseHandle(held->handle_);
        return 0;
    }
    HANDLE handle_;
    DWORD release_after_ms_;
    HANDLE thread_;
};

TEST(Outbox, ReportsLeaveInTheOrderTheyWereStoredAcrossReopening) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"order");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(outbox->Store(Report("r" + std::to_string(i))), Outbox::StoreResult::kStored);
        }
        // Two are sent, then the process goes.
        for (const char* body : {"r0", "r1"}) {
            const std::optional<Outbox::Pick> pick = outbox->Next();
            ASSERT_EQ(pick->report.body, body);
            ASSERT_TRUE(outbox->Accepted(pick->sequence));
        }
    }
    std::unique_ptr<Outbox> again = Outbox::Open(app_id, drops);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->size(), 18U);
    ASSERT_EQ(again->Store(Report("later")), Outbox::StoreResult::kStored);
    std::vector<std::string> expected;
    for (int i = 2; i < 20; ++i) expected.push_back("r" + std::to_string(i));
    expected.push_back("later");
    EXPECT_EQ(Drain(*again), expected);
    EXPECT_EQ(drops.full, 0U);
    EXPECT_EQ(drops.damaged, 0U);
    // Only the lock and the marks are left.
    EXPECT_EQ(FileNames(FolderOf(app_id)), (std::vector<std::wstring>{L"lock", L"marks"}));
}

TEST(Outbox, AReportTheCollectorAcceptedIsNeverSentAgainEvenIfItsFileOutlivedTheProcess) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"accepted");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        for (const char* body : {"a", "b", "c"}) outbox->Store(Report(body));
        for (const char* body : {"a", "b"}) {
            const std::optional<Outbox::Pick> pick = outbox->Next();
            ASSERT_EQ(pick->report.body, body);
            ASSERT_TRUE(outbox->Accepted(pick->sequence));  // the process ends, "c" unsent
        }
        EXPECT_EQ(FileNames(FolderOf(app_id)).size(), 3U);  // lock, marks, the reports' file
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(outbox->size(), 1U);
    EXPECT_EQ(Drain(*outbox), std::vector<std::string>{"c"});
    EXPECT_EQ(drops.damaged, 0U);
    EXPECT_EQ(FileNames(FolderOf(app_id)), (std::vector<std::wstring>{L"lock", L"marks"}));
    // Sequence numbers go on after the accepted ones.
    ASSERT_EQ(outbox->Store(Report("d")), Outbox::StoreResult::kStored);
    EXPECT_EQ(outbox->Next()->sequence, 4U);
}

TEST(Outbox, ABatchIsOneFileAndAReportGivenUpFromItIsGoneForGood) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"batch");
    OutboxDrops drops;
    const std::string pad(2048 - 16, '.');
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        // A batch of purchases with one level event in its middle, then purchases up to the
        // byte cap.
        std::vector<StoredReport> batch;
        for (int i = 0; i < 5; ++i) {
            batch.push_back(Report("b" + std::to_string(i) + pad, i == 2
                                                                      ? OutboxPriority::kDropFirst
                                                                      : OutboxPriority::kDropLast));
        }
        ASSERT_EQ(outbox->Store(batch), Outbox::StoreResult::kStored);
        EXPECT_EQ(FileNames(FolderOf(app_id)).size(), 2U + 1U);  // lock, marks, the batch
        FillToTheByteCap(*outbox, pad);
        // One more purchase: the level event in the batch goes, and its file is rewritten.
        ASSERT_EQ(outbox->Store(Report("last" + pad)), Outbox::StoreResult::kStored);
        EXPECT_EQ(drops.full, 1U);
        EXPECT_LE(SavedBytes(FolderOf(app_id)), mirto::kOutboxMaxBytes);
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    const std::vector<std::string> order = Drain(*outbox);
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

TEST(Outbox, DamagedFilesAreCountedTemporariesSettledForeignAndEarlierVersionsFilesKept) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"damage");
    OutboxDrops drops;
    ASSERT_NE(Outbox::Open(app_id, drops), nullptr);  // makes the folder
    const std::wstring folder = FolderOf(app_id);
    // Files of the versions before: bare parts ("a", and "b" cut short), and a file that is
    // one report alone ("d", named after its sequence number); garbage; a temporary left by a
    // process that died while writing; files that are not the outbox's; a report for a host
    // that SetHost would refuse, one for another port, and one without TLS.
    WriteFile(folder + Name(1), Part(1, Report("a")));
    std::string cut = Part(2, Report("b"));
    cut.pop_back();
    WriteFile(folder + Name(2), cut);
    WriteFile(folder + Name(3), "not a report at all");
    WriteFile(folder + Name(4), mirto::EncodeStoredReport(Report("d")));
    StoredReport other_port = Report("p");
    other_port.port = 80;
    StoredReport plain = Report("t");
    plain.secure = false;
    WriteFile(folder + Name(5), Part(5, Report("h", OutboxPriority::kDropLast, 0, u"evil host")) +
                                    Part(6, other_port) + Part(7, plain));
    WriteFile(folder + Name(9, L".tmp"), Part(9, Report("half")));
    WriteFile(folder + L"notes.txt", "mine");
    WriteFile(folder + L"00000000000000zz.rpt", Part(1000, Report("foreign")));
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        EXPECT_EQ(drops.damaged, 3U);  // the cut file, the garbage, the file of bad reports
        EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"a", "d"}));
        EXPECT_EQ(FileNames(folder), (std::vector<std::wstring>{L"00000000000000zz.rpt", L"lock",
                                                                L"marks", L"notes.txt"}));
        outbox->Store(Report("e"));  // after the temporary's number: 000...0a
        outbox->Store(Report("f"));
    }
    // A file damaged after it was listed is found out when it is read: the damaged batch ("e",
    // the first after the file's 16-byte header) goes, the next one stays.
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    std::string bytes = ReadFile(folder + Name(10));
    ASSERT_GT(bytes.size(), 48U);
    bytes[16 + 16 + 12] ^= 1;
    WriteFile(folder + Name(10), bytes);
    EXPECT_EQ(Drain(*outbox), std::vector<std::string>{"f"});
    EXPECT_EQ(drops.damaged, 4U);
    // Not the outbox's either: a file of more reports than it ever holds (damaged), and a
    // folder under the name its next file would take (stepped over).
    outbox.reset();
    std::string many;
    for (std::uint64_t i = 0; i <= mirto::kOutboxMaxReports; ++i) {
        many += Part(100 + i, Report("m"));
    }
    WriteFile(folder + Name(100), many);
    ASSERT_TRUE(CreateDirectoryW((folder + Name(101, L".tmp")).c_str(), nullptr));
    outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(drops.damaged, 5U);
    EXPECT_EQ(outbox->size(), 0U);
    EXPECT_EQ(outbox->Store(Report("g")), Outbox::StoreResult::kStored);
    EXPECT_EQ(Drain(*outbox), std::vector<std::string>{"g"});
}

// Sequence numbers come from the disk: one beyond the outbox's own, or one that another report
// already has, is damaged (else new numbers would wrap round, and one report be handed out for
// ever). A name in capitals is the outbox's own as far as NTFS is concerned.
TEST(Outbox, SequenceNumbersFromTheDiskAreHeldToTheOutboxsOwn) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"numbers");
    OutboxDrops drops;
    ASSERT_NE(Outbox::Open(app_id, drops), nullptr);
    const std::wstring folder = FolderOf(app_id);
    WriteFile(folder + Name(1), Part(1, Report("a")) + Part(0xFFFFFFFFFFFFFFFDULL, Report("huge")));
    WriteFile(folder + L"000000000000000A.RPT", Part(1, Report("again")) + Part(10, Report("b")));
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(drops.damaged, 2U);
    ASSERT_EQ(outbox->Store(Report("c")), Outbox::StoreResult::kStored);
    EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"a", "b", "c"}));
    outbox->Store(Report("d"));
    EXPECT_EQ(outbox->Next()->sequence, 12U);
}

// What is taken to make room for a report that is then given up after all stays; a file that
// cannot be written again without what it lost (another program holds it) makes no more room
// go than the reports stored need.
TEST(Outbox, MakingRoomTakesOnlyWhatTheStoredReportsNeed) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"room");
    OutboxDrops drops;
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    const std::string pad(2048 - 16, '.');
    ASSERT_EQ(outbox->Store(Report("small level", OutboxPriority::kDropFirst)),
              Outbox::StoreResult::kStored);
    // Purchases up to 300 bytes short of the byte cap (and never more than one short of it).
    std::size_t stored = 1;
    const std::size_t each = Part(1, Report("c0" + pad)).size() + 16 + 16;
    while (outbox->bytes() + each + 300 <= mirto::kOutboxMaxBytes) {
        ASSERT_EQ(outbox->Store(Report("c" + std::to_string(stored++) + pad)),
                  Outbox::StoreResult::kStored);
    }
    // A level event twice as large: it cannot fit, and the small one stays.
    outbox->Store(Report("large level" + pad + pad, OutboxPriority::kDropFirst));
    EXPECT_EQ(drops.full, 1U);
    EXPECT_EQ(outbox->size(), stored);
    // The same with a small purchase behind it, which fits without anything going.
    outbox->Store(std::vector<StoredReport>{
        Report("large level" + pad + pad, OutboxPriority::kDropFirst), Report("tiny")});
    EXPECT_EQ(drops.full, 2U);
    EXPECT_EQ(outbox->size(), stored + 1);
    EXPECT_EQ(outbox->Next()->report.body, "small level");
    // Purchases more while the oldest file is held: about one given up for each (the first
    // may need the small level event and a purchase).
    {
        const HeldFile backup(FolderOf(app_id) + Name(1), 5000);
        for (int i = 0; i < 12; ++i) outbox->Store(Report("more" + std::to_string(i) + pad));
    }
    EXPECT_GE(drops.full - 2, 12U);
    EXPECT_LE(drops.full - 2, 13U);
}

TEST(Outbox, WhenFullLevelAndServerEventsGoFirstThenTheOldestOfTheRest) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"caps");
    OutboxDrops drops;
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    // Bodies of 2 KiB: the byte cap (4 MiB) is reached first, at a little under 2048 reports.
    const std::string pad(2048 - 16, '.');
    std::size_t stored = 0;
    for (;; ++stored) {
        // Every third report is a level event; the rest are purchases and identifies.
        const OutboxPriority priority =
            stored % 3 == 0 ? OutboxPriority::kDropFirst : OutboxPriority::kDropLast;
        char tag[8];
        std::snprintf(tag, sizeof(tag), "k%05zu", stored);
        const StoredReport report = Report(tag + pad, priority);
        if (outbox->bytes() + Part(1, report).size() + 32 > mirto::kOutboxMaxBytes) break;
        ASSERT_EQ(outbox->Store(report), Outbox::StoreResult::kStored);
    }
    const std::size_t fit = stored;
    ASSERT_LT(fit, mirto::kOutboxMaxReports);
    EXPECT_EQ(drops.full, 0U);

    // A purchase more: the oldest level event (k00000) goes.
    ASSERT_EQ(outbox->Store(Report("p00001" + pad)), Outbox::StoreResult::kStored);
    EXPECT_EQ(drops.full, 1U);
    EXPECT_EQ(outbox->size(), fit);
    EXPECT_EQ(outbox->Next()->report.body.substr(0, 6), "k00001");

    // Level events more, while level events are stored: the first that does not fit makes the
    // oldest level event (k00003) go. (Files written again to lose a report take less room than
    // before, so the first may still fit.)
    std::size_t levels = 0;
    std::string last_level;
    while (drops.full < 2 && levels < 10) {
        char tag[8];
        std::snprintf(tag, sizeof(tag), "l%05zu", levels++);
        last_level = tag;
        ASSERT_EQ(outbox->Store(Report(tag + pad, OutboxPriority::kDropFirst)),
                  Outbox::StoreResult::kStored);
    }
    EXPECT_EQ(drops.full, 2U);
    EXPECT_LE(outbox->bytes(), mirto::kOutboxMaxBytes);
    EXPECT_LE(SavedBytes(FolderOf(app_id)), mirto::kOutboxMaxBytes);

    std::vector<std::string> order = Drain(*outbox);
    ASSERT_EQ(order.size(), fit + levels - 1);
    EXPECT_EQ(order[0].substr(0, 6), "k00001");
    EXPECT_EQ(order[1].substr(0, 6), "k00002");
    EXPECT_EQ(order[2].substr(0, 6), "k00004");  // k00003 was given up
    EXPECT_EQ(order[fit - 2].substr(0, 6), "p00001");
    EXPECT_EQ(order.back().substr(0, 6), last_level);
}

TEST(Outbox, AFullOutboxOfPurchasesGivesUpANewLevelEventAndThenTheOldestPurchase) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"keep");
    OutboxDrops drops;
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    // 2 KiB bodies: 1950 or so fit within the byte cap. A store of one purchase takes its batch
    // header (16), its sequence number (8), the report's header (44), host and path in UTF-16
    // (2 * 14 + 2 * 6) and body, and a file header (16) when it begins a file.
    const auto cost = [](std::size_t body) { return std::uint64_t{16 + 8 + 44 + 28 + 12} + body; };
    const std::string pad(2048 - 16, '.');
    std::size_t stored = 0;
    while (outbox->bytes() + 2 * (cost(pad.size() + 6) + 16) <= mirto::kOutboxMaxBytes) {
        outbox->Store(Report("c" + std::to_string(stored++) + pad));
    }
    // The last leaves 16 bytes, less than the headers of a batch and its file (none when it
    // begins a file).
    outbox->Store(Report(std::string(
        static_cast<std::size_t>(mirto::kOutboxMaxBytes - 16 - outbox->bytes() - cost(0)), 't')));
    ++stored;
    ASSERT_GT(outbox->bytes(), mirto::kOutboxMaxBytes - 32);
    ASSERT_EQ(drops.full, 0U);
    ASSERT_EQ(outbox->size(), stored);
    EXPECT_EQ(outbox->Store(Report("level" + pad, OutboxPriority::kDropFirst)),
              Outbox::StoreResult::kStored);  // stored as nothing: it was given up
    EXPECT_EQ(drops.full, 1U);
    EXPECT_EQ(outbox->size(), stored);
    EXPECT_EQ(outbox->Store(Report("new")), Outbox::StoreResult::kStored);
    EXPECT_EQ(drops.full, 2U);
    EXPECT_EQ(outbox->Next()->report.body.substr(0, 2), "c1");
}

TEST(Outbox, WhatWasRestoredIsHeldToTheCapsAndToItsAge) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"restored");
    OutboxDrops drops;
    ASSERT_NE(Outbox::Open(app_id, drops), nullptr);
    const std::wstring folder = FolderOf(app_id);
    // 4,100 reports in files of the version before (a version with other caps could leave as
    // many): the first built 31 days ago, then level events and purchases in turn.
    const std::uint64_t now = mirto::WallClockMs();
    std::string file;
    for (std::uint64_t sequence = 1; sequence <= 4100; ++sequence) {
        const OutboxPriority priority =
            sequence % 2 == 0 ? OutboxPriority::kDropFirst : OutboxPriority::kDropLast;
        const std::uint64_t created = sequence == 1 ? now - 31ULL * 24 * 3600 * 1000 : now;
        file += Part(sequence, Report("r" + std::to_string(sequence), priority, created));
        if (sequence % 1000 == 0 || sequence == 4100) {
            WriteFile(folder + Name(sequence - (sequence - 1) % 1000), file);
            file.clear();
        }
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(drops.expired, 1U);
    EXPECT_EQ(drops.full, 4099U - mirto::kOutboxMaxReports);
    EXPECT_EQ(outbox->size(), mirto::kOutboxMaxReports);
    // The oldest level events went; the first to go out is the oldest that is still young.
    EXPECT_EQ(outbox->Next()->report.body, "r3");
    EXPECT_LE(SavedBytes(folder), mirto::kOutboxMaxBytes);
}

// Reports listed late (their file was held at the start) beyond the caps go with the next store,
// counted once, even when that store's own report is given up.
TEST(Outbox, ReportsListedLateBeyondTheCapsGoWithTheNextStoreCountedOnce) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"late");
    OutboxDrops drops;
    ASSERT_NE(Outbox::Open(app_id, drops), nullptr);
    const std::wstring folder = FolderOf(app_id);
    // Purchases of the version before: as many as the outbox holds in one file, 10 in another.
    const std::uint64_t late = mirto::kOutboxMaxReports + 1;
    std::string file;
    for (std::uint64_t sequence = 1; sequence < late + 10; ++sequence) {
        file += Part(sequence, Report("r" + std::to_string(sequence)));
        if (sequence + 1 == late) {
            WriteFile(folder + Name(1), file);
            file.clear();
        }
    }
    WriteFile(folder + Name(late), file);
    std::unique_ptr<Outbox> outbox;
    {
        const HeldFile backup(folder + Name(late), 300);
        outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
    }
    Sleep(mirto::kHeldFirstPauseMs + 100);
    while (outbox->DoChore()) {
    }
    ASSERT_EQ(outbox->size(), mirto::kOutboxMaxReports + 10);
    // A level event does not fit among purchases: it is given up, the oldest ten go with it.
    outbox->Store(Report("level", OutboxPriority::kDropFirst));
    EXPECT_EQ(drops.full, 11U);
    EXPECT_EQ(outbox->size(), mirto::kOutboxMaxReports);
    outbox->Store(Report("level", OutboxPriority::kDropFirst));
    EXPECT_EQ(drops.full, 12U);
    EXPECT_EQ(outbox->size(), mirto::kOutboxMaxReports);
    EXPECT_EQ(outbox->Next()->report.body, "r11");
}

TEST(Outbox, RestoredReportsSetAsideGoAfterThisSessionsWithTheOthersForTheirHost) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"aside");
    OutboxDrops drops;
    ASSERT_NE(Outbox::Open(app_id, drops), nullptr);
    WriteFile(FolderOf(app_id) + Name(1),
              Part(1, Report("old-a1", OutboxPriority::kDropLast, 0, u"retired.test")) +
                  Part(2, Report("old-b")) +
                  Part(3, Report("old-a2", OutboxPriority::kDropLast, 0, u"retired.test")));
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    outbox->Store(Report("new"));
    const std::optional<Outbox::Pick> first = outbox->Next();
    ASSERT_EQ(first->report.body, "old-a1");
    outbox->SetAside(first->sequence);
    EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"old-b", "new", "old-a1", "old-a2"}));
}

TEST(Outbox, AReportAttemptedByAnEarlierProcessIsKnownAsSuch) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"tried");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        outbox->Store(Report("a"));
        outbox->Store(Report("b"));
        EXPECT_FALSE(outbox->MarkTried(outbox->Next()->sequence));  // first attempt ever
        EXPECT_FALSE(outbox->MarkTried(outbox->Next()->sequence));  // this process's own mark
    }
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        const std::uint64_t a = outbox->Next()->sequence;
        EXPECT_TRUE(outbox->MarkTried(a));
        outbox->UnmarkTried(a);  // an earlier process's mark stays
        ASSERT_TRUE(outbox->Accepted(a));
        const std::uint64_t b = outbox->Next()->sequence;
        EXPECT_FALSE(outbox->MarkTried(b));  // "b": never attempted before
        outbox->UnmarkTried(b);              // no connection was made after all
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(outbox->Next()->report.body, "b");
    EXPECT_FALSE(outbox->MarkTried(outbox->Next()->sequence));
}

// A start that fails after its delivery opened the outbox closes it again (core/delivery.h):
// what it found there is counted as restored by the start that succeeds, once.
TEST(Outbox, ReportsFoundByAStartThatFailedAreCountedOnceRestored) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"counted");
    {
        OutboxDrops drops;
        std::unique_ptr<Outbox> earlier = Outbox::Open(app_id, drops);
        ASSERT_NE(earlier, nullptr);
        earlier->Store(std::vector<StoredReport>{Report("a"), Report("b")});
    }
    const std::uint64_t before = mirto::Counters().restored.load();
    mirto::Delivery delivery(true);
    ASSERT_TRUE(delivery.Connect(app_id));
    delivery.Disconnect();  // the start failed after this
    ASSERT_TRUE(delivery.Connect(app_id));
    EXPECT_EQ(mirto::Counters().restored.load() - before, 2U);
    EXPECT_EQ(mirto::Counters().outbox_state.load(),
              static_cast<std::uint32_t>(mirto::OutboxState::kOn));
}

// Whether the newest slot of a marks file's bytes holds `sequence` as accepted. The layout
// (outbox/marks_layout.h): two slots of 4096 bytes, each "MOBM", layout (4), generation (8),
// attempted (8), number of ranges (4), checksum (4), then the ranges: file, first, last (8 each).
bool NewestMarksAccept(const std::string& marks, std::uint64_t sequence) {
    const auto number = [&marks](std::size_t at, std::size_t size) {
        std::uint64_t value = 0;
        for (std::size_t i = size; i > 0; --i) {
            value = (value << 8) | static_cast<unsigned char>(marks[at + i - 1]);
        }
        return value;
    };
    std::size_t newest = 1;  // none
    for (const std::size_t slot : {std::size_t{0}, std::size_t{4096}}) {
        if (marks.size() < slot + 32 || marks.compare(slot, 4, "MOBM") != 0) continue;
        if (newest == 1 || number(slot + 8, 8) > number(newest + 8, 8)) newest = slot;
    }
    if (newest == 1) return false;
    for (std::uint64_t i = 0; i < number(newest + 24, 4); ++i) {
        const std::size_t range = newest + 32 + 24 * static_cast<std::size_t>(i);
        if (marks.size() >= range + 24 && number(range + 8, 8) <= sequence &&
            sequence <= number(range + 16, 8)) {
            return true;
        }
    }
    return false;
}

// What the marks file held at its last flush: what a power loss leaves of it.
mirto_test::ImportPatch* flush_patch = nullptr;
std::wstring marks_path;
std::string durable_marks;

BOOL WINAPI NoteFlush(HANDLE file) {
    const BOOL flushed = flush_patch->original<decltype(&FlushFileBuffers)>()(file);
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH, 0);
    if (flushed && length > 6 && length < MAX_PATH &&
        _wcsicmp(path + length - 6, L"\\marks") == 0) {
        durable_marks = ReadFile(marks_path);
    }
    return flushed;
}

// The waiting thread's part while an attempt runs: the outbox's chores, as the worker does them.
class OutboxChores final : public mirto::AttemptWaitHook {
   public:
    explicit OutboxChores(Outbox& outbox) : outbox_(outbox) {}
    bool OnMessage() override { return false; }
    bool OnChore() override { return outbox_.DoChore(); }
    DWORD ChoreDueInMs() override { return outbox_.ChoreDueInMs(); }

   private:
    Outbox& outbox_;
};

// A collector that never answers: the request's send gives up after a second.
BOOL WINAPI UnansweredSend(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD) {
    Sleep(1000);
    SetLastError(ERROR_INTERNET_TIMEOUT);
    return FALSE;
}

// An acceptance written unflushed with the next attempt's mark is flushed soon after: by that
// attempt's retry, which writes nothing (from memory no chore is done), or as a chore while an
// attempt waits long for its answer.
TEST(Outbox, AnAcceptanceIsFlushedSoonWhetherOrNotAnotherAttemptFollows) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"flush");
    OutboxDrops drops;
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    outbox->Store(std::vector<StoredReport>{Report("a"), Report("b"), Report("c")});
    mirto_test::ImportPatch patch("kernel32.dll", "FlushFileBuffers",
                                  reinterpret_cast<void*>(&NoteFlush));
    flush_patch = &patch;
    marks_path = FolderOf(app_id) + L"marks";
    const std::uint64_t a = outbox->Next()->sequence;
    outbox->MarkTried(a);
    ASSERT_FALSE(durable_marks.empty()) << "no flush of the marks was seen";
    ASSERT_TRUE(outbox->Accepted(a));
    const std::uint64_t b = outbox->Next()->sequence;
    outbox->MarkTried(b);  // at once
    outbox->NoteMayHaveArrived(b);
    EXPECT_LE(outbox->ChoreDueInMs(), mirto::kMarksFlushMs);
    Sleep(2 * mirto::kMarksFlushMs);
    outbox->MarkTried(b);  // tried again
    EXPECT_TRUE(NewestMarksAccept(durable_marks, a));
    // That try is accepted, and "c"'s attempt follows at once, waiting a second for its answer.
    ASSERT_TRUE(outbox->Accepted(b));
    const std::uint64_t c = outbox->Next()->sequence;
    outbox->MarkTried(c);
    const mirto_test::ImportPatch send("wininet.dll", "HttpSendRequestW",
                                       reinterpret_cast<void*>(&UnansweredSend));
    const mirto::SharedSession session = mirto::SharedSession::Adopt(
        InternetOpenW(L"outbox-test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    OutboxChores chores(*outbox);
    mirto::AttemptRunner runner;
    runner.Make(mirto::AttemptRequest{session, L"localhost", 1, L"/event", L"", "x", 0,
                                      mirto::kSecureRequestFlags},
                5000, &chores);
    EXPECT_TRUE(NewestMarksAccept(durable_marks, b));
}

// Other programs hold files for a moment (or longer): the outbox waits for a moment, and what is
// held for longer is left for later, never judged damaged unread.
TEST(Outbox, FilesHeldByOtherProgramsAreWaitedForOrLeftForLaterNeverLost) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"held");
    OutboxDrops drops;
    {
        // An earlier process began "a"'s attempt, and ended.
        std::unique_ptr<Outbox> earlier = Outbox::Open(app_id, drops);
        ASSERT_NE(earlier, nullptr);
        earlier->Store(std::vector<StoredReport>{Report("a"), Report("b")});
        earlier->MarkTried(earlier->Next()->sequence);
    }
    const std::wstring folder = FolderOf(app_id);
    WriteFile(folder + Name(3), Part(3, Report("c")));
    {
        // Held while the outbox opens: not listed, not removed, and this session goes on.
        const HeldFile scanner(folder + Name(1), 1500);
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        EXPECT_EQ(outbox->size(), 1U);
        outbox->Store(Report("new"));
        EXPECT_FALSE(outbox->MarkTried(outbox->Next()->sequence));  // "c"
        EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"c", "new"}));
        // Let go of, it is read, in this session: its reports go, "a" known as attempted
        // before although this process has marked others since it opened.
        Sleep(2500);
        while (outbox->DoChore()) {
        }
        const std::optional<Outbox::Pick> a = outbox->Next();
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(a->report.body, "a");
        EXPECT_TRUE(outbox->MarkTried(a->sequence));
        ASSERT_TRUE(outbox->Accepted(a->sequence));
        EXPECT_EQ(outbox->restored(), 3U);
    }
    {
        // The lock and a file to be removed, each held for a moment: the outbox waits.
        const HeldFile lock(folder + L"lock", 300);
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        const std::optional<Outbox::Pick> b = outbox->Next();
        ASSERT_EQ(b->report.body, "b");
        ASSERT_TRUE(outbox->Accepted(b->sequence));
        const HeldFile backup(folder + Name(1), 300);
        while (outbox->DoChore()) {
        }
        EXPECT_EQ(FileNames(folder), (std::vector<std::wstring>{L"lock", L"marks"}));
    }
    EXPECT_EQ(drops.damaged, 0U);
}

// The pauses the outbox asks for on this thread while files are held, added up instead of slept.
mirto_test::ImportPatch* sleep_patch = nullptr;
DWORD paused_here_ms = 0;
DWORD pausing_thread = 0;

void WINAPI AddUpPauses(DWORD milliseconds) {
    if (GetCurrentThreadId() == pausing_thread) {
        paused_here_ms += milliseconds;
        return;
    }
    sleep_patch->original<decltype(&Sleep)>()(milliseconds);
}

// A backup tool that holds every saved file for long: stores neither wait for each held file
// again and again, nor let the folder grow past the caps (nothing held is taken to make room).
TEST(Outbox, FilesHeldForLongNeitherHoldUpStoresNorLetTheFolderPassTheCaps) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"longheld");
    const std::wstring folder = FolderOf(app_id);
    OutboxDrops drops;
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    const std::string pad(2000, 'p');
    ASSERT_GT(FillToTheByteCap(*outbox, pad), 1000U);
    std::vector<HANDLE> held;
    for (const std::wstring& name : FileNames(folder)) {
        if (name.size() < 4 || name.substr(name.size() - 4) != L".rpt") continue;
        const HANDLE file = CreateFileW((folder + name).c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) held.push_back(file);  // (not the one appended to)
    }
    ASSERT_GT(held.size(), 10U);
    {
        mirto_test::ImportPatch patch("kernel32.dll", "Sleep",
                                      reinterpret_cast<void*>(&AddUpPauses));
        sleep_patch = &patch;
        pausing_thread = GetCurrentThreadId();
        for (int round = 0; round < 12; ++round) {
            std::vector<StoredReport> batch;
            for (int i = 0; i < 20; ++i) {
                batch.push_back(
                    Report("n" + std::to_string(round) + "-" + std::to_string(i) + pad));
            }
            paused_here_ms = 0;
            ASSERT_EQ(outbox->Store(batch), Outbox::StoreResult::kStored);
            EXPECT_LE(paused_here_ms, mirto::kHeldFilePatienceMs) << "round " << round;
            EXPECT_LE(SavedBytes(folder), mirto::kOutboxMaxBytes + mirto::kSegmentBytes)
                << "round " << round;
        }
        pausing_thread = 0;
    }
    for (const HANDLE file : held) CloseHandle(file);
}

// Reads of saved files that the system refuses (with `read_error`), or that come back short
// (`read_error` 0).
mirto_test::ImportPatch* read_patch = nullptr;
int refused_reads = 0;
DWORD read_error = 0;

BOOL WINAPI RefusedRead(HANDLE file, void* buffer, DWORD size, DWORD* read, OVERLAPPED* at) {
    using Read = BOOL(WINAPI*)(HANDLE, void*, DWORD, DWORD*, OVERLAPPED*);
    const Read original = read_patch->original<Read>();
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH, 0);
    if (refused_reads > 0 && size > 1 && length > 4 && length < MAX_PATH &&
        _wcsicmp(path + length - 4, L".rpt") == 0) {
        --refused_reads;
        if (read_error == 0) return original(file, buffer, size - 1, read, at);
        SetLastError(read_error);
        return FALSE;
    }
    return original(file, buffer, size, read, at);
}

// A saved file that could not be read whole for a reason that passes is read again later, never
// judged damaged; one whose read fails for good (a bad sector) is damaged.
TEST(Outbox, AFileThatCouldNotBeReadWholeForAMomentIsReadLaterNeverJudgedDamaged) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"refused");
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        outbox->Store(std::vector<StoredReport>{Report("a"), Report("b")});
    }
    mirto_test::ImportPatch patch("kernel32.dll", "ReadFile",
                                  reinterpret_cast<void*>(&RefusedRead));
    read_patch = &patch;
    for (const DWORD error : {DWORD{ERROR_NO_SYSTEM_RESOURCES}, DWORD{0}}) {
        refused_reads = 1;
        read_error = error;
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        EXPECT_EQ(refused_reads, 0) << "the file was not read";
        EXPECT_EQ(drops.damaged, 0U) << (error == 0 ? "a short read" : "a refused read");
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"a", "b"}));
    outbox->Store(Report("c"));
    outbox.reset();
    refused_reads = 1;
    read_error = ERROR_CRC;
    outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(drops.damaged, 1U);
    EXPECT_EQ(outbox->size(), 0U);
}

// A store that runs out of memory before its batch is on the disk fails whole; after, it is a
// store (its file is listed again later), and the report being attempted meanwhile stays
// listed, so its acceptance is recorded and it is never handed out again. Until its file is
// listed again, no store takes room from it.
TEST(Outbox, AReportAcceptedWhileAStoreRanOutOfMemoryIsNeverSentAgain) {
    std::vector<StoredReport> more;
    for (int i = 0; i < 12; ++i) more.push_back(Report("m" + std::to_string(i)));
    // Purchases as large as a report may be: four pass the byte cap.
    const std::string large(mirto::kStoredBodyMaxBytes - 1, 'l');
    int listed_later = 0;
    for (int n = 1;; ++n) {
        const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"oomacc");
        OutboxDrops drops;
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        ASSERT_EQ(outbox->Store(Report("a")), Outbox::StoreResult::kStored);
        const std::optional<Outbox::Pick> a = outbox->Next();
        ASSERT_TRUE(a.has_value());
        outbox->MarkTried(a->sequence);
        outbox->Pin(a->sequence);  // its attempt runs; the worker stores what arrives meanwhile
        bool failed = false;
        bool threw = false;
        {
            mirto_test::FailAllocation fail(n);
            try {
                outbox->Store(more);
            } catch (const std::bad_alloc&) {
                threw = true;  // (the worker then counts the batch as lost)
            }
            failed = fail.failed();
        }
        outbox->Pin(0);
        std::size_t larges = 0;
        if (!threw && outbox->size() == 1) {
            // The batch is on the disk, to be listed again. The attempt was cut off, and
            // purchases up to the byte cap are stored before any chore.
            ++listed_later;
            for (larges = 0; larges < 4; ++larges) outbox->Store(Report("L" + large));
        }
        ASSERT_TRUE(outbox->Accepted(a->sequence));  // the collector said "200"
        while (outbox->DoChore()) {
        }
        const std::vector<std::string> bodies = Drain(*outbox);
        EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "a"), 0) << "allocation " << n;
        const std::size_t stored = threw ? 0U : more.size();
        EXPECT_EQ(std::count_if(bodies.begin(), bodies.end(),
                                [](const std::string& body) { return body[0] == 'm'; }),
                  static_cast<std::ptrdiff_t>(stored))
            << "allocation " << n;
        EXPECT_EQ(bodies.size() + drops.full, stored + larges) << "allocation " << n;
        EXPECT_EQ(outbox->restored(), 0U) << "allocation " << n << ": this session's reports";
        if (!failed) break;
        ASSERT_LT(n, 400);
    }
    EXPECT_GT(listed_later, 0) << "no store ran out of memory with its batch on the disk";
}

// A power loss can undo a rename that had returned, and cut a write short anywhere.
TEST(Outbox, WhatAPowerLossLeavesIsReadForWhatItIs) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"power");
    OutboxDrops drops;
    const std::wstring folder = FolderOf(app_id);
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        outbox->Store(std::vector<StoredReport>{Report("a"), Report("b"), Report("c")});
        for (const char* body : {"a", "b"}) {
            const std::optional<Outbox::Pick> pick = outbox->Next();
            ASSERT_EQ(pick->report.body, body);
            ASSERT_TRUE(outbox->Accepted(pick->sequence));
            while (outbox->DoChore()) {  // its record written
            }
        }
    }
    // The file's rename was undone: only its temporary, whole, is left. And the marks' last
    // write ("b" accepted) was cut short: its slot is damaged, the one before it is whole.
    ASSERT_TRUE(MoveFileW((folder + Name(1)).c_str(), (folder + Name(1, L".tmp")).c_str()));
    {
        // A file whose rename was undone after batches had been appended to it.
        std::unique_ptr<Outbox> other = Outbox::Open(app_id + L"-2", drops);
        ASSERT_NE(other, nullptr);
        other->Store(Report("x"));
        other->Store(Report("y"));
    }
    const std::wstring other_folder = FolderOf(app_id + L"-2");
    ASSERT_TRUE(
        MoveFileW((other_folder + Name(1)).c_str(), (other_folder + Name(1, L".tmp")).c_str()));
    std::string marks = ReadFile(folder + L"marks");
    ASSERT_GE(marks.size(), 4096U + 32U);
    std::size_t newest = 0;  // the slot with the higher generation (bytes 8-15)
    if (static_cast<unsigned char>(marks[4096 + 8]) > static_cast<unsigned char>(marks[8])) {
        newest = 4096;
    }
    marks[newest + 40] ^= 1;
    WriteFile(folder + L"marks", marks);
    // And a store that never finished: a temporary cut short.
    std::string half = ReadFile(folder + Name(1, L".tmp"));
    half.resize(half.size() - 1);
    WriteFile(folder + Name(7, L".tmp"), half);
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    // "a" stays accepted; "b", whose acceptance was lost, goes again (a possible duplicate,
    // never a loss); "c" was never sent.
    EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(drops.damaged, 0U);
    EXPECT_EQ(FileNames(folder), (std::vector<std::wstring>{L"lock", L"marks"}));
    std::unique_ptr<Outbox> other = Outbox::Open(app_id + L"-2", drops);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(Drain(*other), (std::vector<std::string>{"x", "y"}));
}

// A temporary that another program holds at the start is settled by a later start: until then,
// new reports take none of the numbers it may hold, and the acceptances of its file are kept.
TEST(Outbox, ATemporaryHeldAtTheStartLendsNoneOfItsNumbersToNewReportsNorLosesItsAcceptances) {
    const std::wstring app_id = mirto_test::FreshAppId(L"obx", L"heldtmp");
    const std::wstring folder = FolderOf(app_id);
    OutboxDrops drops;
    {
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        outbox->Store(std::vector<StoredReport>{Report("a"), Report("b")});
        ASSERT_TRUE(outbox->Accepted(outbox->Next()->sequence));  // "a"
    }
    // A power loss undid the file's rename.
    ASSERT_TRUE(MoveFileW((folder + Name(1)).c_str(), (folder + Name(1, L".tmp")).c_str()));
    {
        // It can be read, but not renamed.
        const HeldFile scanner(folder + Name(1, L".tmp"), 2000, FILE_SHARE_READ);
        std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        outbox->Store(std::vector<StoredReport>{Report("n1"), Report("n2")});
    }
    std::unique_ptr<Outbox> outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"b", "n1", "n2"}));
    // A held temporary beside its saved file, whose reports are then all accepted: the saved file
    // goes, and the temporary is never taken for it later.
    outbox->Store(std::vector<StoredReport>{Report("c"), Report("d")});
    const std::uint64_t file = outbox->Next()->sequence;
    outbox.reset();
    WriteFile(folder + Name(file, L".tmp"), ReadFile(folder + Name(file)));
    {
        const HeldFile backup(folder + Name(file, L".tmp"), 2000);
        outbox = Outbox::Open(app_id, drops);
        ASSERT_NE(outbox, nullptr);
        EXPECT_EQ(Drain(*outbox), (std::vector<std::string>{"c", "d"}));
        outbox.reset();
    }
    outbox = Outbox::Open(app_id, drops);
    ASSERT_NE(outbox, nullptr);
    EXPECT_EQ(Drain(*outbox), std::vector<std::string>{});
    EXPECT_EQ(drops.damaged, 0U);
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
    mirto::FilePatience patience(0);
    const mirto::OutboxDiscard discard = mirto::DiscardOutbox(L"..", patience);
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
    ASSERT_EQ(holder->Store(Report("kept")), Outbox::StoreResult::kStored);
    mirto::FilePatience patience(0);
    const mirto::OutboxDiscard held = mirto::DiscardOutbox(app_id, patience);
    EXPECT_FALSE(held.removed);
    WIN32_FIND_DATAW data;
    const HANDLE saved = FindFirstFileW((FolderOf(app_id) + L"*.rpt").c_str(), &data);
    EXPECT_NE(saved, INVALID_HANDLE_VALUE) << "the saved report's file was removed";
    if (saved != INVALID_HANDLE_VALUE) FindClose(saved);
    holder.reset();
    // Let go of, it goes, its report counted.
    const mirto::OutboxDiscard discard = mirto::DiscardOutbox(app_id, patience);
    EXPECT_TRUE(discard.removed);
    EXPECT_EQ(discard.reports, 1u);
    EXPECT_FALSE(Exists(FolderOf(app_id)));
}

}  // namespace
