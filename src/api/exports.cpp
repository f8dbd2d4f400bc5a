// The six exported functions of namespace mirto. They run on the game's threads: check the
// queue and the arguments, copy the arguments into a record and post it to the worker. The
// only wait is the first OnStart's, for the worker to come up. No exception leaves them: a
// call whose copy runs out of memory is dropped before anything is counted or posted.
#include <windows.h>

#include <memory>
#include <utility>

#include "api/argument_rules.h"
#include "api/messages.h"
#include "core/operations.h"
#include "core/session.h"
#include "core/worker.h"
#include "mirto/mirto.h"

namespace mirto {
namespace {

// A worker runs and has room for one more operation. Checked before the arguments, so a
// missing worker or a full queue is what the caller hears about even for bad arguments.
bool QueueAccepts(const RefusalLines& lines) noexcept {
    const Session& session = GetSession();
    if (session.worker_thread_id.load() == 0) {
        OutputDebugStringA(lines.no_worker);
        return false;
    }
    if (session.pending_operations.load() >= kMaxPendingOperations) {
        OutputDebugStringA(lines.queue_full);
        return false;
    }
    return true;
}

// Hands the record to the worker. A post that fails (the worker has ended, or its queue is
// at the system's limit) would otherwise leak the record and leave it counted for ever.
template <typename Record>
void Enqueue(UINT code, std::unique_ptr<Record> record, const RefusalLines& lines) noexcept {
    if (PostOperation(code, record.get())) {
        static_cast<void>(record.release());  // the worker owns it now
        return;
    }
    OutputDebugStringA(lines.no_worker);
}

}  // namespace

void MIRTO_CALL SetHost(const wchar_t* host) noexcept {
    try {
        if (!FitsRequired(host)) {
            OutputDebugStringA(kSetHostParamsError);
            return;
        }
        GetSession().server_host.Set(std::wstring(host));
    } catch (...) {
        // Out of memory: the previous host stays.
    }
}

void MIRTO_CALL OnStart(const wchar_t* application_id, const wchar_t* channel,
                        const wchar_t* game_version) noexcept {
    try {
        EnsureWorkerStarted();
        if (!QueueAccepts(kOnStartLines)) return;
        if (!FitsRequired(application_id) || !FitsOptional(channel) ||
            !FitsOptional(game_version)) {
            OutputDebugStringA(kOnStartLines.params_error);
            return;
        }
        Enqueue(
            kOpOnStart,
            std::make_unique<OnStartRecord>(OnStartRecord{
                CopyArgument(application_id), CopyArgument(channel), CopyArgument(game_version)}),
            kOnStartLines);
    } catch (...) {
    }
}

void MIRTO_CALL SetUser(const wchar_t* user_id, const wchar_t* user_name) noexcept {
    try {
        if (!QueueAccepts(kSetUserLines)) return;
        if (!FitsRequired(user_id) || !FitsOptional(user_name)) {
            OutputDebugStringA(kSetUserLines.params_error);
            return;
        }
        Enqueue(kOpSetUser,
                std::make_unique<SetUserRecord>(
                    SetUserRecord{CopyArgument(user_id), CopyArgument(user_name)}),
                kSetUserLines);
    } catch (...) {
    }
}

void MIRTO_CALL SetLevel(int level) noexcept {
    try {
        if (!QueueAccepts(kSetLevelLines)) return;
        if (level < 0) {
            OutputDebugStringA(kSetLevelLines.params_error);
            return;
        }
        Enqueue(kOpSetLevel, std::make_unique<SetLevelRecord>(SetLevelRecord{level}),
                kSetLevelLines);
    } catch (...) {
    }
}

void MIRTO_CALL SetServer(const wchar_t* server) noexcept {
    try {
        if (!QueueAccepts(kSetServerLines)) return;
        if (!FitsRequired(server)) {
            OutputDebugStringA(kSetServerLines.params_error);
            return;
        }
        Enqueue(kOpSetServer,
                std::make_unique<SetServerRecord>(SetServerRecord{CopyArgument(server)}),
                kSetServerLines);
    } catch (...) {
    }
}

void MIRTO_CALL OnCharge(const wchar_t* order_id, const wchar_t* product, int amount,
                         const wchar_t* currency_type, int virtual_currency_amount,
                         const wchar_t* payment) noexcept {
    try {
        if (!QueueAccepts(kOnChargeLines)) return;
        // The amounts are checked before any text is looked at.
        if (amount <= 0 || virtual_currency_amount < 0 || !FitsOptional(order_id) ||
            !FitsOptional(product) || !FitsOptional(currency_type) || !FitsOptional(payment)) {
            OutputDebugStringA(kOnChargeLines.params_error);
            return;
        }
        Enqueue(kOpOnCharge,
                std::make_unique<OnChargeRecord>(OnChargeRecord{
                    CopyArgument(order_id), CopyArgument(product), CopyArgument(currency_type),
                    CopyArgument(payment), amount, virtual_currency_amount}),
                kOnChargeLines);
    } catch (...) {
    }
}

}  // namespace mirto
