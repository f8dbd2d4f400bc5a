// Keeping, giving up and handing back held operations.
#include "core/holding_area.h"

#include <algorithm>
#include <utility>

#include "core/operations.h"

namespace mirto {
namespace {

bool DropsFirst(const HeldOperation& operation) {
    return operation.code() == kOpSetLevel || operation.code() == kOpSetServer;
}

template <typename Record>
void DeleteRecord(LPARAM record) noexcept {
    delete reinterpret_cast<Record*>(record);
}

// In the order of the operation codes from kOpOnStart.
constexpr void (*kDeleteRecord[])(LPARAM) noexcept = {
    DeleteRecord<OnStartRecord>,   DeleteRecord<SetUserRecord>,  DeleteRecord<SetLevelRecord>,
    DeleteRecord<SetServerRecord>, DeleteRecord<OnChargeRecord>,
};
static_assert(sizeof(kDeleteRecord) / sizeof(kDeleteRecord[0]) == kOpOnCharge - kOpOnStart + 1,
              "one entry per operation code");

}  // namespace

HeldOperation::~HeldOperation() {
    if (record_ != 0 && code_ >= kOpOnStart && code_ <= kOpOnCharge) {
        kDeleteRecord[code_ - kOpOnStart](record_);
    }
}

HeldOperation& HeldOperation::operator=(HeldOperation&& other) noexcept {
    if (this != &other) {
        HeldOperation gone(code_, Release(), ticket_);
        code_ = other.code_;
        record_ = other.Release();
        ticket_ = other.ticket_;
        counted_ = other.counted_;
    }
    return *this;
}

std::optional<HeldOperation> HoldingArea::Hold(HeldOperation operation) {
    if (held_.size() < kMaxHeldOperations) {
        held_.push_back(std::move(operation));
        return std::nullopt;
    }
    const auto victim = std::find_if(held_.begin(), held_.end(), DropsFirst);
    if (victim == held_.end()) return operation;
    HeldOperation given_up = std::move(*victim);
    held_.erase(victim);
    held_.push_back(std::move(operation));
    return given_up;
}

std::optional<HeldOperation> HoldingArea::Remember(HeldOperation operation, bool keep_start) {
    const auto is = [](UINT code) {
        return [code](const HeldOperation& held) { return held.code() == code; };
    };
    if (operation.code() == kOpOnStart) {
        if (!keep_start || std::any_of(held_.begin(), held_.end(), is(kOpOnStart))) {
            return operation;
        }
        held_.push_front(std::move(operation));
        return std::nullopt;
    }
    if (operation.code() != kOpSetUser) return operation;
    const auto earlier = std::find_if(held_.begin(), held_.end(), is(kOpSetUser));
    if (earlier == held_.end()) {
        held_.push_back(std::move(operation));
        return std::nullopt;
    }
    std::swap(*earlier, operation);
    return operation;
}

std::list<HeldOperation> HoldingArea::KeepSessionOnly(bool keep_start) {
    std::list<HeldOperation> given_up;
    for (HeldOperation& operation : TakeAll()) {
        std::optional<HeldOperation> left = Remember(std::move(operation), keep_start);
        if (left) given_up.push_back(std::move(*left));
    }
    return given_up;
}

std::size_t HoldingArea::MarkAllCounted() noexcept {
    std::size_t marked = 0;
    for (HeldOperation& operation : held_) {
        if (operation.counted()) continue;
        operation.MarkCounted();
        ++marked;
    }
    return marked;
}

std::uint64_t HoldingArea::OldestUncounted() const noexcept {
    std::uint64_t oldest = 0;
    for (const HeldOperation& operation : held_) {
        if (!operation.counted() && (oldest == 0 || operation.ticket() < oldest)) {
            oldest = operation.ticket();
        }
    }
    return oldest;
}

std::list<HeldOperation> HoldingArea::TakeAll() noexcept {
    std::list<HeldOperation> taken;
    taken.swap(held_);
    return taken;
}

}  // namespace mirto
