// The six exported functions of namespace mirto. They run on the game's threads: check the
// queue (taking a place in it) and the arguments, copy the arguments into a record and post it
// to the worker. The only wait is the first OnStart's, for the worker to come up. No exception
// leaves them: a call whose copy runs out of memory is dropped before anything is posted, and
// gives its place back. A refusal's line is written once the call holds nothing of the library
// (not its place in the queue, not the first start): the game's log callback may call back in.
#include <windows.h>

#include <memory>
#include <utility>

#include "api/argument_rules.h"
#include "core/consent.h"
#include "core/delivery_stats.h"
#include "core/host_slot.h"
#include "core/operations.h"
#include "core/worker.h"
#include "log/log_line.h"
#include "mirto/mirto.h"
#include "reports/messages.h"

namespace mirto {
namespace {

// Each refusal below is counted and its line returned, for the export to write.

// A worker runs and `place` holds one of the queue's places for the operation (nullptr), or
// the line that says why not. Checked before the arguments, so a missing worker or a full queue
// is what the caller hears about even for bad arguments. After Shutdown, as before the first
// start, there is no worker. A call made while another thread's first OnStart brings the worker
// up waits for that start; OnStart itself has settled that already (FirstStart) and does not
// wait again.
const char* QueueRefusal(QueuePlace& place, const RefusalLines& lines,
                         bool wait_for_start = true) noexcept {
    const DWORD worker = wait_for_start ? WorkerForCall() : WorkerThreadId();
    // The queue's gate is entered only now: a call never holds it while it waits for a start.
    if (worker == 0 || !place.Enter()) {
        Counters().refused_no_worker.fetch_add(1);
        return lines.no_worker;
    }
    if (!place.Take()) {
        Counters().refused_queue_full.fetch_add(1);
        return lines.queue_full;
    }
    return nullptr;
}

const char* ParamsRefusal(const RefusalLines& lines) noexcept {
    Counters().refused_params.fetch_add(1);
    return lines.params_error;
}

// Hands the record, and its place, to the worker: nullptr, or the line of a post that failed
// (the worker has ended, or its queue is at the system's limit), which would otherwise leak the
// record and keep its place for ever.
template <typename Record>
const char* Post(QueuePlace& place, UINT code, std::unique_ptr<Record> record,
                 const RefusalLines& lines) noexcept {
    if (PostOperation(code, record.get())) {
        static_cast<void>(record.release());  // the worker owns it now
        place.HandOver();
        Counters().accepted.fetch_add(1);
        return nullptr;
    }
    Counters().refused_no_worker.fetch_add(1);
    return lines.no_worker;
}

// A queueing call: `checked(place)` checks the arguments and posts the record, returning the
// line of a refusal. The line is written once the place is given back.
template <typename Checked>
void Queue(const RefusalLines& lines, Checked checked) noexcept {
    const char* refusal = nullptr;
    try {
        QueuePlace place;
        refusal = QueueRefusal(place, lines);
        if (refusal == nullptr) refusal = checked(place);
    } catch (...) {
        // Out of memory for the copy: dropped, its place given back.
    }
    if (refusal != nullptr) WriteLine(refusal);
}

// OnStart's part while it holds the first start (FirstStart): until its operation is queued,
// calls that other threads make wait for it. The line of a refusal is returned.
const char* QueueStart(const wchar_t* application_id, const wchar_t* channel,
                       const wchar_t* game_version) {
    const FirstStart start;
    QueuePlace place;
    if (const char* refusal = QueueRefusal(place, kOnStartLines, false)) return refusal;
    const TextArgument id(application_id);
    const TextArgument channel_text(channel);
    const TextArgument version(game_version);
    if (!id.FitsRequired() || !channel_text.FitsOptional() || !version.FitsOptional()) {
        return ParamsRefusal(kOnStartLines);
    }
    const char* refusal = Post(place, kOpOnStart,
                               std::make_unique<OnStartRecord>(
                                   OnStartRecord{id.Copy(), channel_text.Copy(), version.Copy()}),
                               kOnStartLines);
    if (refusal == nullptr) NoteStartQueued();
    return refusal;
}

}  // namespace

void MIRTO_CALL SetHost(const wchar_t* host) noexcept {
    try {
        const TextArgument checked(host);
        if (!checked.FitsHost()) {
            Counters().refused_params.fetch_add(1);
            WriteLine(kSetHostParamsError);
            return;
        }
        CollectionHost().Set(checked.Copy());
    } catch (...) {
        // Out of memory: the previous host stays.
    }
}

void MIRTO_CALL OnStart(const wchar_t* application_id, const wchar_t* channel,
                        const wchar_t* game_version) noexcept {
    const char* refusal = nullptr;
    try {
        refusal = QueueStart(application_id, channel, game_version);
    } catch (...) {
    }
    if (refusal != nullptr) WriteLine(refusal);
}

void MIRTO_CALL SetUser(const wchar_t* user_id, const wchar_t* user_name) noexcept {
    Queue(kSetUserLines, [&](QueuePlace& place) {
        const TextArgument id(user_id);
        const TextArgument name(user_name);
        if (!id.FitsRequired() || !name.FitsOptional()) return ParamsRefusal(kSetUserLines);
        return Post(place, kOpSetUser,
                    std::make_unique<SetUserRecord>(SetUserRecord{id.Copy(), name.Copy()}),
                    kSetUserLines);
    });
}

void MIRTO_CALL SetLevel(int level) noexcept {
    Queue(kSetLevelLines, [&](QueuePlace& place) {
        if (level < 0) return ParamsRefusal(kSetLevelLines);
        return Post(place, kOpSetLevel, std::make_unique<SetLevelRecord>(SetLevelRecord{level}),
                    kSetLevelLines);
    });
}

void MIRTO_CALL SetServer(const wchar_t* server) noexcept {
    Queue(kSetServerLines, [&](QueuePlace& place) {
        const TextArgument name(server);
        if (!name.FitsRequired()) return ParamsRefusal(kSetServerLines);
        return Post(place, kOpSetServer,
                    std::make_unique<SetServerRecord>(SetServerRecord{name.Copy()}),
                    kSetServerLines);
    });
}

void MIRTO_CALL OnCharge(const wchar_t* order_id, const wchar_t* product, int amount,
                         const wchar_t* currency_type, int virtual_currency_amount,
                         const wchar_t* payment) noexcept {
    Queue(kOnChargeLines, [&](QueuePlace& place) {
        // The amounts are checked before any text is looked at.
        if (amount <= 0 || virtual_currency_amount < 0) return ParamsRefusal(kOnChargeLines);
        const TextArgument order(order_id);
        const TextArgument product_text(product);
        const TextArgument currency(currency_type);
        const TextArgument payment_text(payment);
        if (!order.FitsOptional() || !product_text.FitsOptional() || !currency.FitsOptional() ||
            !payment_text.FitsOptional()) {
            return ParamsRefusal(kOnChargeLines);
        }
        return Post(place, kOpOnCharge,
                    std::make_unique<OnChargeRecord>(
                        OnChargeRecord{order.Copy(), product_text.Copy(), currency.Copy(),
                                       payment_text.Copy(), amount, virtual_currency_amount}),
                    kOnChargeLines);
    });
}

}  // namespace mirto
