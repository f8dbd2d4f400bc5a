// The refusal lines of the queueing exports. Each refusal writes exactly one of them to the
// debugger output, and nothing else happens.
#ifndef MIRTO_API_MESSAGES_H
#define MIRTO_API_MESSAGES_H

namespace mirto {

struct RefusalLines {
    const char* no_worker;
    const char* queue_full;
    const char* params_error;
};

#define MIRTO_REFUSAL_LINES(name)                                  \
    RefusalLines {                                                 \
        "Mirto: " name " failed, operation queue init failed\r\n", \
            "Mirto: " name " failed, operation queue is full\r\n", \
            "Mirto: " name " failed, params error\r\n"             \
    }

constexpr RefusalLines kOnStartLines = MIRTO_REFUSAL_LINES("OnStart");
constexpr RefusalLines kSetUserLines = MIRTO_REFUSAL_LINES("SetUser");
constexpr RefusalLines kSetLevelLines = MIRTO_REFUSAL_LINES("SetLevel");
constexpr RefusalLines kSetServerLines = MIRTO_REFUSAL_LINES("SetServer");
constexpr RefusalLines kOnChargeLines = MIRTO_REFUSAL_LINES("OnCharge");

#undef MIRTO_REFUSAL_LINES

constexpr const char* kSetHostParamsError = "Mirto: SetHost failed, params error\r\n";

}  // namespace mirto

#endif  // MIRTO_API_MESSAGES_H
