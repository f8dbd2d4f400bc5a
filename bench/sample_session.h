// The session the benchmarks build their reports from, as a player's machine holds it after a
// start: 32-character generated ids, a 1080p screen, the fixed device texts, and a signed-in
// user. Shared by the native pipeline benchmark and the outbox's store benchmark, so both time
// reports of the same size.
#ifndef MIRTO_BENCH_SAMPLE_SESSION_H
#define MIRTO_BENCH_SAMPLE_SESSION_H

#include <string>

#include "reports/report_context.h"

namespace mirto_bench {

inline mirto::ReportContext SampleContext(const std::wstring& index) {
    mirto::ReportContext context;
    context.index = index;
    context.identify = L"k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9";
    context.user = L"steam_76561198042231856";
    context.channel = L"steam";
    context.facts.screen_width = 1920;
    context.facts.screen_height = 1080;
    context.facts.system_version = L"Windows 6.2";
    context.facts.game_version = L"1.4.12.3088";
    context.facts.install_uuid = L"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3";
    context.facts.persist_uuid = L"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3";
    return context;
}

}  // namespace mirto_bench

#endif  // MIRTO_BENCH_SAMPLE_SESSION_H
