// The six exported functions of namespace mirto. They run on the game's threads: check the
// queue (taking a place in it) and the arguments, copy the arguments into a record and post it
// to the worker. The only wait is the first OnStart's, for the worker to come up. No exception
// leaves them: a call whose copy runs out of memory is dropped before anything is posted, and
// gives its place back.
#include <windows.h>

#include <memory>
#include <utility>

#include "api/argument_rules.h"
#include "core/delivery_stats.h"
#include "core/host_slot.h"
#include "core/operations.h"
#include "core/worker.h"
#include "mirto/mirto.h"
#include "reports/messages.h"

namespace mirto {
namespace {

// A worker runs and `place` holds one of the queue's places for the operation. Checked before
// the arguments, so a missing worker or a full queue is what the caller hears about even for
// bad arguments. After Shutdown, as before the first start, there is no worker. A call made
// while another thread's first OnStart brings the worker up waits for that start; OnStart itself
// has settled that already (FirstStart) and does not wait again.
bool QueueAccepts(QueuePlace& place, const RefusalLines& lines,
                  bool wait_for_start = true) noexcept {
    const DWORD worker = wait_for_start ? WorkerForCall() : WorkerThreadId();
    // The queue's gate is entered only now: a call never holds it while it waits for a start.
    if (worker == 0 || !place.Enter()) {
        OutputDebugStringA(lines.no_worker);
        Counters().refused_no_worker.fetch_add(1);
        return false;
    }
    if (!place.Take()) {
        OutputDebugStringA(lines.queue_full);
        Counters().refused_queue_full.fetch_add(1);
        return false;
    }
    return true;
}

void RefuseParams(const RefusalLines& lines) noexcept {
    OutputDebugStringA(lines.params_error);
    Counters().refused_params.fetch_add(1);
}

// Hands the record, and its place, to the worker. A post that fails (the worker has ended, or
// its queue is at the system's limit) would otherwise leak the record and keep its place for
// ever.
template <typename Record>
void Enqueue(QueuePlace& place, UINT code, std::unique_ptr<Record> record,
             const RefusalLines& lines) noexcept {
    if (PostOperation(code, record.get())) {
        static_cast<void>(record.release());  // the worker owns it now
        place.HandOver();
        Counters().accepted.fetch_add(1);
        return;
    }
    OutputDebugStringA(lines.no_worker);
    Counters().refused_no_worker.fetch_add(1);
}

}  // namespace

void MIRTO_CALL SetHost(const wchar_t* host) noexcept {
    try {
        const TextArgument checked(host);
        if (!checked.FitsHost()) {
            OutputDebugStringA(kSetHostParamsError);
            Counters().refused_params.fetch_add(1);
            return;
        }
        CollectionHost().Set(checked.Copy());
    } catch (...) {
        // Out of memory: the previous host stays.
    }
}

void MIRTO_CALL OnStart(const wchar_t* application_id, const wchar_t* channel,
                        const wchar_t* game_version) noexcept {
    try {
        // Held until this call's operation is queued (or refused), so calls that other threads
        // make while this one starts the worker are queued behind it.
        const FirstStart start;
        QueuePlace place;
        if (!QueueAccepts(place, kOnStartLines, false)) return;
        const TextArgument id(application_id);
        const TextArgument channel_text(channel);
        const TextArgument version(game_version);
        if (!id.FitsRequired() || !channel_text.FitsOptional() || !version.FitsOptional()) {
            RefuseParams(kOnStartLines);
            return;
        }
        Enqueue(place, kOpOnStart,
                std::make_unique<OnStartRecord>(
                    OnStartRecord{id.Copy(), channel_text.Copy(), version.Copy()}),
                kOnStartLines);
    } catch (...) {
    }
}

void MIRTO_CALL SetUser(const wchar_t* user_id, const wchar_t* user_name) noexcept {
    try {
        QueuePlace place;
        if (!QueueAccepts(place, kSetUserLines)) return;
        const TextArgument id(user_id);
        const TextArgument name(user_name);
        if (!id.FitsRequired() || !name.FitsOptional()) {
            RefuseParams(kSetUserLines);
            return;
        }
        Enqueue(place, kOpSetUser,
                std::make_unique<SetUserRecord>(SetUserRecord{id.Copy(), name.Copy()}),
                kSetUserLines);
    } catch (...) {
    }
}

void MIRTO_CALL SetLevel(int level) noexcept {
    try {
        QueuePlace place;
        if (!QueueAccepts(place, kSetLevelLines)) return;
        if (level < 0) {
            RefuseParams(kSetLevelLines);
            return;
        }
        Enqueue(place, kOpSetLevel, std::make_unique<SetLevelRecord>(SetLevelRecord{level}),
                kSetLevelLines);
    } catch (...) {
    }
}

void MIRTO_CALL SetServer(const wchar_t* server) noexcept {
    try {
        QueuePlace place;
        if (!QueueAccepts(place, kSetServerLines)) return;
        const TextArgument name(server);
        if (!name.FitsRequired()) {
            RefuseParams(kSetServerLines);
            return;
        }
        Enqueue(place, kOpSetServer,
                std::make_unique<SetServerRecord>(SetServerRecord{name.Copy()}), kSetServerLines);
    } catch (...) {
    }
}

void MIRTO_CALL OnCharge(const wchar_t* order_id, const wchar_t* product, int amount,
                         const wchar_t* currency_type, int virtual_currency_amount,
                         const wchar_t* payment) noexcept {
    try {
        QueuePlace place;
        if (!QueueAccepts(place, kOnChargeLines)) return;
        // The amounts are checked before any text is looked at.
        if (amount <= 0 || virtual_currency_amount < 0) {
            RefuseParams(kOnChargeLines);
            return;
        }
        const TextArgument order(order_id);
        const TextArgument product_text(product);
        const TextArgument currency(currency_type);
        const TextArgument payment_text(payment);
        if (!order.FitsOptional() || !product_text.FitsOptional() || !currency.FitsOptional() ||
            !payment_text.FitsOptional()) {
            RefuseParams(kOnChargeLines);
            return;
        }
        Enqueue(place, kOpOnCharge,
                std::make_unique<OnChargeRecord>(
                    OnChargeRecord{order.Copy(), product_text.Copy(), currency.Copy(),
                                   payment_text.Copy(), amount, virtual_currency_amount}),
                kOnChargeLines);
    } catch (...) {
    }
}

}  // namespace mirto
