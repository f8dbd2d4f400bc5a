// Memory running out at every step of building a report envelope and of a start: nothing may
// leak and no half-started session may keep its internet handle (support/failing_heap.h fails
// the n-th allocation).
#include <windows.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <utility>

#include "core/delivery.h"
#include "core/host_slot.h"
#include "json/json.h"
#include "mirto/mirto.h"
#include "reports/envelope.h"
#include "reports/handlers.h"
#include "reports/report_state.h"
#include "support/failing_heap.h"
#include "support/import_patch.h"
#include "support/process.h"

namespace {

using mirto_test::FailAllocation;

TEST(OutOfMemory, AnEnvelopeLeaksNothingWhicheverAllocationFails) {
    const std::string index = "game_analysis-app";
    const std::string identify = "u9";
    for (int n = 1;; ++n) {
        int held = 0;
        bool failed = false;
        {
            FailAllocation fail(n);
            mirto::JsonTree properties(mirto::NewJsonObject());
            mirto::AddText(properties.get(), "identifyType", "user");
            mirto::AddInteger(properties.get(), "level", 7);
            mirto::JsonTree envelope =
                mirto::NewEventEnvelope("level", index, identify, std::move(properties));
            envelope.reset();
            failed = fail.failed();
            held = fail.held();
        }
        EXPECT_EQ(held, 0) << "blocks left when allocation " << n << " failed";
        if (!failed) break;  // every allocation of the envelope has now failed once
        ASSERT_LT(n, 200);
    }
}

TEST(OutOfMemory, AStartThatFailsLeavesNoInternetSessionBehind) {
    const std::wstring id = L"oom" + std::to_wstring(GetCurrentProcessId());
    const std::wstring channel(40, L'c');  // long enough to need the heap
    const mirto::OnStartRecord record{id, channel, L"1.0.0-with-a-long-version-text"};
    // The delivery is told to stop, as a stopping worker's is: the device identify of a start
    // that succeeds is given up at once.
    const HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(stop, nullptr);
    mirto::Delivery delivery(false, nullptr, stop);
    mirto::CollectionHost().Set(L"unreachable.invalid");
    for (int n = 1;; ++n) {
        bool started = false;
        bool failed = false;
        {
            FailAllocation fail(n);
            try {
                mirto::HandleOnStart(record, delivery);
            } catch (const std::bad_alloc&) {
            }
            failed = fail.failed();
            started = !mirto::CurrentReports().index.empty();
        }
        if (!started) {
            EXPECT_EQ(delivery.connected(), false)
                << "allocation " << n << " failed and the session handle stayed open";
        }
        if (started || !failed) break;
        ASSERT_LT(n, 2000);
    }
    EXPECT_FALSE(mirto::CurrentReports().index.empty()) << "the start never succeeded";
    CloseHandle(stop);
}

TEST(OutOfMemory, TheFirstUseOfTheHostSlotNeedsNoMemory) {
    if (mirto_test::RanInFreshProcess()) return;
    // The built-in host ("localhost") is longer than a string holds without the heap.
    {
        FailAllocation fail(1);
        mirto::SetHost(L"x");  // a host short enough to need no heap either
    }
    EXPECT_EQ(mirto::CollectionHost().Get(), L"x");
}

}  // namespace
