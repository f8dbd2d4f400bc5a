// The three exports of namespace mirto for the player's privacy choices: whether the game asks
// for consent, the player's decision, and the deletion of what the library keeps locally. None
// of them touches the disk or the network on the game's thread: decisions and deletions are
// carried out by the worker, in their place among the operations queued before them; only
// DeleteLocalData waits for that, and never longer than asked.
#include <windows.h>

#include "core/consent.h"
#include "core/worker.h"
#include "core/worker_request.h"
#include "log/log_line.h"
#include "mirto/mirto.h"
#include "reports/messages.h"

namespace mirto {

void MIRTO_CALL SetConsentRequired(bool required) noexcept {
    if (!ChooseConsentRequired(required)) WriteLine(kSetConsentRequiredTooLateLine);
}

void MIRTO_CALL SetConsent(bool granted) noexcept { RecordDecision(granted); }

bool MIRTO_CALL DeleteLocalData(unsigned int timeout_ms) noexcept {
    if (!StartQueued() || WorkerThreadId() == 0) {
        WriteLine(kDeleteLocalDataNeedStartLine);
        return false;
    }
    // Announced before it is posted: the worker gives up what is queued ahead of it, and a
    // report waiting to be tried again is not; a later worker starts with nothing decided. (A
    // worker that is ending takes no request: false.)
    return AskWorker(kOpDeleteLocalData, timeout_ms, AnnounceDeletion, WithdrawDeletion) ==
           RequestAnswer::kDone;
}

}  // namespace mirto
