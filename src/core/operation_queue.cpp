// The queue's places, its list of posted records and its gate. All constant-initialised and
// never destroyed, so neither the loader's notifications nor an exiting process find them half
// built or gone.
//
// The list is an open-addressing table (linear probing, entries moved back on removal) with
// room for twice what it may hold (every place's record, and as many of the game's requests
// again, which take no place), under one lock: a call lists its record once and the worker takes
// it once, each in a few steps, so the lock is held only for moments.
#include "core/operation_queue.h"

#include <atomic>
#include <cstddef>

#include "core/operations.h"

namespace mirto {
namespace {

std::atomic<std::int32_t> pending_operations{0};

SRWLOCK gate = SRWLOCK_INIT;
std::atomic<bool> closed{false};

struct Posted {
    std::uintptr_t address;  // 0: a free entry
    UINT code;
};

// A power of two, twice the entries it holds at most: every place's record, and as many of the
// game's requests again.
constexpr std::size_t kListSize = 2048;
static_assert(kListSize / 2 >= 2 * static_cast<std::size_t>(kMaxPendingOperations),
              "room for every place and as many requests");

// The game's requests (DeleteLocalData) take no place in the queue; so many may wait at once,
// so that a game that asks again and again never takes the room of its operations.
constexpr std::size_t kMaxListedRequests = kListSize / 2 - kMaxPendingOperations;

SRWLOCK list_lock = SRWLOCK_INIT;
Posted posted[kListSize] = {};    // guarded by list_lock
std::size_t listed = 0;           // guarded by list_lock
std::size_t listed_requests = 0;  // guarded by list_lock

bool IsRequestCode(UINT code) noexcept { return code < kOpOnStart || code > kOpOnCharge; }

std::size_t Home(std::uintptr_t address) noexcept {
    // Heap blocks are 16-byte aligned: the low bits say nothing.
    return static_cast<std::size_t>((address >> 4) * 0x9E3779B97F4A7C15ull) & (kListSize - 1);
}

std::size_t Next(std::size_t index) noexcept { return (index + 1) & (kListSize - 1); }

// The entry that holds (code, address), or kListSize. Holding list_lock.
std::size_t Find(UINT code, std::uintptr_t address) noexcept {
    for (std::size_t i = Home(address); posted[i].address != 0; i = Next(i)) {
        if (posted[i].address == address && posted[i].code == code) return i;
    }
    return kListSize;
}

// Frees entry `hole` and moves back the entries after it that would no longer be found.
// Holding list_lock.
void Remove(std::size_t hole) noexcept {
    if (IsRequestCode(posted[hole].code)) --listed_requests;
    posted[hole] = Posted{};
    --listed;
    for (std::size_t i = Next(hole); posted[i].address != 0; i = Next(i)) {
        const std::size_t home = Home(posted[i].address);
        // The entry stays where it is when its home lies cyclically in (hole, i].
        const bool stays = hole < i ? (home > hole && home <= i) : (home > hole || home <= i);
        if (stays) continue;
        posted[hole] = posted[i];
        posted[i] = Posted{};
        hole = i;
    }
}

bool Unlist(UINT code, std::uintptr_t address) noexcept {
    AcquireSRWLockExclusive(&list_lock);
    const std::size_t entry = Find(code, address);
    if (entry != kListSize) Remove(entry);
    ReleaseSRWLockExclusive(&list_lock);
    return entry != kListSize;
}

}  // namespace

std::int32_t PendingOperations() noexcept { return pending_operations.load(); }

QueuePlace::~QueuePlace() {
    if (taken_) pending_operations.fetch_sub(1);
    if (entered_) ReleaseSRWLockShared(&gate);
}

bool QueuePlace::Enter() noexcept {
    AcquireSRWLockShared(&gate);
    entered_ = true;
    return !closed.load();
}

bool QueuePlace::Take() noexcept {
    std::int32_t now = pending_operations.load();
    do {
        if (now >= kMaxPendingOperations) return false;
    } while (!pending_operations.compare_exchange_weak(now, now + 1));
    taken_ = true;
    return true;
}

bool ListPosted(UINT code, const void* record) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(record);
    AcquireSRWLockExclusive(&list_lock);
    const bool request = IsRequestCode(code);
    const bool room = address != 0 && listed < kListSize / 2 &&
                      (!request || listed_requests < kMaxListedRequests);
    if (room) {
        if (request) ++listed_requests;
        std::size_t i = Home(address);
        while (posted[i].address != 0) i = Next(i);
        posted[i] = Posted{address, code};
        ++listed;
    }
    ReleaseSRWLockExclusive(&list_lock);
    return room;
}

void UnlistPosted(UINT code, const void* record) noexcept {
    Unlist(code, reinterpret_cast<std::uintptr_t>(record));
}

bool TakePosted(const MSG& message) noexcept {
    // The library posts its records with a first parameter of 0.
    if (message.wParam != 0) return false;
    return Unlist(message.message, static_cast<std::uintptr_t>(message.lParam));
}

bool IsPosted(const MSG& message) noexcept {
    if (message.wParam != 0) return false;
    AcquireSRWLockShared(&list_lock);
    const bool listed_now =
        Find(message.message, static_cast<std::uintptr_t>(message.lParam)) != kListSize;
    ReleaseSRWLockShared(&list_lock);
    return listed_now;
}

void GiveBackPlace() noexcept { pending_operations.fetch_sub(1); }

void CloseQueue() noexcept {
    closed.store(true);
    // Every call that got in before the queue closed has posted or given up once this returns.
    AcquireSRWLockExclusive(&gate);
    ReleaseSRWLockExclusive(&gate);
}

void OpenQueue() noexcept { closed.store(false); }

}  // namespace mirto
