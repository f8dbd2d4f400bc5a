/*
 * mirto: analytics reporting for Windows games.
 *
 * The game calls these functions from any of its threads. None of the six reporting functions
 * blocks on the network or the disk or returns a result: each call checks its arguments, copies
 * them and hands them to the library's single private worker thread, which turns them into JSON
 * reports and posts them over HTTPS to the collection server, retrying every 5 seconds until the
 * server accepts each report. (Flush, below, is the one function that waits, and only as long
 * as it is asked to.)
 *
 * A refused call writes exactly one line to the debugger output (OutputDebugStringA), beginning
 * "Mirto: " and ending with CR LF, for example "Mirto: SetLevel failed, params error\r\n".
 * Nothing else tells the caller about a refusal, but the game's log callback when it set one
 * (SetLogCallback, below). Checks run in this order:
 *   1. no worker runs yet (only OnStart starts it): "... failed, operation queue init failed"
 *   2. 500 operations are already pending:           "... failed, operation queue is full"
 *   3. the arguments:                                 "... failed, params error"
 *
 * Text lengths are counted in UTF-16 code units; every text argument may hold at most 128.
 * The caller's buffers are only read during the call.
 *
 * C++ callers use the functions in namespace mirto (UTF-16 text). The Unity* functions take
 * NUL-terminated UTF-8 text, are plain C, and forward to the mirto functions; a null pointer
 * there is taken as the empty string.
 *
 * Every function uses the cdecl calling convention, so one DLL serves MSVC-built and
 * mingw-built games alike (it exports both name sets).
 *
 * Beyond these, four optional functions: SetOutbox keeps unsent reports on disk across quits,
 * crashes and outages; Flush waits, for a bounded time, until what was queued is safe;
 * GetDeliveryStats reads the delivery counters; and Shutdown ends the library's work so that
 * the game can unload it. A game that calls none of them behaves exactly as described above;
 * the library then stays loaded until the process ends (its worker holds a reference to it).
 * SetLogCallback hands every line the library writes to the debugger output to the game's own
 * log as well.
 *
 * And three for the player's privacy choices: SetConsentRequired holds every report until the
 * player has decided; SetConsent records the decision (remembered across runs); and
 * DeleteLocalData removes what the library keeps on this machine. A game that calls none of
 * them behaves as described above too, except that a refusal stored by an earlier run holds.
 *
 * Calling any function from a DllMain (or while the loader's lock is held) is not supported:
 * the worker cannot start until the lock is released, so the first OnStart waits its 5 seconds
 * and is refused ("operation queue init failed"), as are the calls made meanwhile.
 */
#ifndef MIRTO_MIRTO_H
#define MIRTO_MIRTO_H

#if defined(_WIN32) && !defined(MIRTO_BUILDING_LIBRARY)
#define MIRTO_API __declspec(dllimport)
#else
#define MIRTO_API
#endif

/* Spelled out so that a game built with another default convention (/Gz, /Gr) still calls
 * the exports correctly and links against the same decorated names. */
#if defined(_WIN32)
#define MIRTO_CALL __cdecl
#else
#define MIRTO_CALL
#endif

#if defined(__cplusplus)
#define MIRTO_NOEXCEPT noexcept
#else
#define MIRTO_NOEXCEPT
#endif

/* The delivery counters, read by GetDeliveryStats. The caller sets `size` to
 * sizeof(MirtoDeliveryStats) before the call; the library fills as many of the fields as both
 * sides know and sets `size` to the number of bytes it filled, so the struct can grow. Counts
 * are since the library was loaded. */
/* A typedef, not a using-declaration: the header is C as well. */
/* NOLINTNEXTLINE(modernize-use-using) */
typedef struct MirtoDeliveryStats {
    unsigned int size;
    unsigned int outbox_state;        /* 0 off, 1 chosen (not started yet), 2 in use,
                                         3 fell back to memory (the disk failed) */
    unsigned int last_failure_status; /* HTTP status of the last failed attempt, 0 if none or
                                         if it got no answer */
    unsigned int last_failure_error;  /* WinINet or system error of the last failed attempt that
                                         got no answer (12002: timed out), 0 otherwise */
    unsigned long long operations_accepted;   /* calls of OnStart, SetUser, SetLevel, SetServer
                                                 and OnCharge queued for the worker */
    unsigned long long refused_no_worker;     /* refused: "operation queue init failed" */
    unsigned long long refused_queue_full;    /* refused: "operation queue is full" */
    unsigned long long refused_params;        /* refused: "params error" */
    unsigned long long reports_delivered;     /* reports the collector answered "200" */
    unsigned long long attempts_failed;       /* attempts that did not get "200" */
    unsigned long long possible_duplicates;   /* reports delivered after an attempt was cut off
                                                 before any answer (the collector may hold the
                                                 report twice) */
    unsigned long long reports_restored;      /* saved reports found in the outbox at the start */
    unsigned long long waiting_in_memory;     /* reports built and not yet delivered, in memory */
    unsigned long long waiting_in_outbox;     /* reports saved in the outbox, not yet delivered */
    unsigned long long dropped_outbox_full;   /* given up to keep the outbox within its caps */
    unsigned long long dropped_damaged;       /* outbox files (or reports in them) found damaged,
                                                 or not for a host, port and TLS the library
                                                 would use, removed unsent */
    unsigned long long dropped_at_quit;       /* reports given up when the library stopped (at
                                                 unload, or when Shutdown's time ran out) */
    unsigned long long oldest_waiting_age_ms; /* age of the oldest report waiting, 0 if none */
    unsigned long long operations_waiting;    /* operations queued and not yet handled */
    unsigned long long dropped_expired;       /* saved reports older than 30 days, given up */
    unsigned long long dropped_out_of_memory; /* reports given up because memory ran out */
    unsigned int consent_state;   /* 0 consent not required and nothing decided, 1 waiting for
                                     the player's decision (operations held), 2 granted,
                                     3 refused */
    unsigned int operations_held; /* operations held now, waiting for the decision */
    unsigned long long held_dropped_full;          /* held operations given up to stay within
                                                      1000 (level and server events first) */
    unsigned long long operations_dropped_consent; /* operations given up by a refusal or by
                                                      DeleteLocalData, made while refused, or
                                                      still held when the library stopped */
    unsigned long long reports_dropped_consent;    /* reports built and not delivered (in memory
                                                      or saved in the outbox) given up by a
                                                      refusal or by DeleteLocalData */
} MirtoDeliveryStats;

/* Receives the library's lines (see SetLogCallback): `line` is NUL-terminated UTF-8 without the
 * trailing CR LF, valid only during the call; `context` is what the game passed along. */
/* NOLINTNEXTLINE(modernize-use-using) */
typedef void(MIRTO_CALL* MirtoLogCallback)(const char* line, void* context);

#if defined(__cplusplus)
namespace mirto {

using DeliveryStats = ::MirtoDeliveryStats;

/* Replaces the collection host at once, for every report built from now on (also for calls
 * queued before). Works before OnStart. host: required, 1 to 128 code units. */
MIRTO_API void MIRTO_CALL SetHost(const wchar_t* host) noexcept;

/* Starts the reporting session. The first call in the process starts the worker thread (and
 * may wait up to 5 seconds for it to come up; every other call returns at once). On the worker
 * it creates the per-application profile folder, loads or makes the installation ids and sends
 * the device report; a second successful start is reported as a duplicate and changes nothing.
 * application_id: required, 1 to 128 (used as a folder name).
 * channel, game_version: optional (null = empty), 0 to 128. An empty game version is replaced
 * by the executable's file version. */
MIRTO_API void MIRTO_CALL OnStart(const wchar_t* application_id, const wchar_t* channel,
                                  const wchar_t* game_version) noexcept;

/* Names the signed-in user; later level, server and charge reports are about this user.
 * user_id: required, 1 to 128. user_name: optional (null = empty), 0 to 128. */
MIRTO_API void MIRTO_CALL SetUser(const wchar_t* user_id, const wchar_t* user_name) noexcept;

/* Reports the player's level. level: 0 or more. Needs OnStart and SetUser first. */
MIRTO_API void MIRTO_CALL SetLevel(int level) noexcept;

/* Reports the game server the player is on. server: required, 1 to 128. Needs OnStart and
 * SetUser first. */
MIRTO_API void MIRTO_CALL SetServer(const wchar_t* server) noexcept;

/* Reports a purchase. amount: 1 or more; virtual_currency_amount: 0 or more; the four texts
 * are optional (null = empty), 0 to 128 each. Needs OnStart; once a user is set, the purchase
 * is reported for the user as well. */
MIRTO_API void MIRTO_CALL OnCharge(const wchar_t* order_id, const wchar_t* product, int amount,
                                   const wchar_t* currency_type, int virtual_currency_amount,
                                   const wchar_t* payment) noexcept;

/* Keeps every report on disk, under "%LOCALAPPDATA%\mirto\<application id>\outbox\", from
 * before its first attempt until the collector has accepted it, and sends the saved reports
 * first at the next start, oldest first, exactly as they were built. Off by default. Only
 * before the first OnStart; a later call is refused ("SetOutbox failed, OnStart already
 * called"). With it on, reports are delivered at least once (a report whose attempt was cut off
 * before any answer may arrive twice; see possible_duplicates), in order, within 4000 reports
 * and 4 MiB on disk (when full, level and server events are given up first, purchases and
 * identifies last). If the disk fails, the session goes on delivering from memory and says so
 * once in the debugger output. One process at a time uses an application's outbox; a second
 * copy of the game delivers from memory. */
MIRTO_API void MIRTO_CALL SetOutbox(bool enabled) noexcept;

/* Waits on the calling thread until every operation queued before the call has been delivered
 * (with the outbox on: stored on disk), and every SetConsent made before it is stored, at most
 * timeout_ms. Returns true when it was, false when the time ran out first. Never waits longer
 * than asked; any thread. Call it when the game is about to quit. */
MIRTO_API bool MIRTO_CALL Flush(unsigned int timeout_ms) noexcept;

/* Fills *stats (see MirtoDeliveryStats; set stats->size first). Never waits. Refused with
 * "GetDeliveryStats failed, params error" when stats is null or its size is below 8. */
MIRTO_API void MIRTO_CALL GetDeliveryStats(DeliveryStats* stats) noexcept;

/* Hands every line the library writes to the debugger output to `callback` as well, with
 * `context`: the refusals on the thread that made the refused call, the library's other lines
 * on its worker thread, each as it is written. The debugger line is written as before. A null
 * callback removes it.
 * - The callback runs while the library holds no lock: it may call any function of the
 *   library. A line written on a thread while that thread is inside the callback (a call the
 *   callback made was refused) goes to the debugger output only, so the callback never runs
 *   inside itself.
 * - When SetLogCallback returns, the callback it replaced is running on no other thread and is
 *   never called again: its context may be freed. It waits for the game's own callback for
 *   that, so do not call it while holding a lock that the callback takes. Called from inside
 *   the callback it does not wait: calls already running on other threads finish on their own.
 * - Keep the callback short, and let no exception leave it. Any thread, any time, also before
 *   OnStart. */
MIRTO_API void MIRTO_CALL SetLogCallback(MirtoLogCallback callback, void* context) noexcept;

/* Holds every operation in memory until the player has decided (SetConsent): nothing is sent
 * and nothing is written to disk meanwhile (no profile folder, no outbox). Held operations keep
 * their order, at most 1000 (when full, the oldest level and server events are given up
 * first). Flush returns false at once while they are held. Off by default. Only before the
 * first OnStart; a later call is refused ("SetConsentRequired failed, OnStart already
 * called"). A decision stored by an earlier run applies at once. */
MIRTO_API void MIRTO_CALL SetConsentRequired(bool required) noexcept;

/* The player's decision; any time, any thread, with or without SetConsentRequired; a later call
 * replaces an earlier one. It is stored in the application's profile and holds at every later
 * start. true: the held operations run in the order they were made, giving the reports a
 * session without the question would have sent, and everything after flows. false: what is held,
 * queued or saved in the outbox is dropped and counted, later calls are accepted but produce no
 * report and no ids are made (a report already on the wire may still arrive); a later true
 * reports from then on, the session's start and latest user included. */
MIRTO_API void MIRTO_CALL SetConsent(bool granted) noexcept;

/* Drops every report held, queued or saved, and deletes the application's profile (its ids and
 * the stored decision) and its outbox folder. The session then reports nothing until the next
 * OnStart, which starts as on a new installation (new ids). The library's thread does the work;
 * the call waits at most timeout_ms and returns true when everything was removed in time (files
 * that another program holds are tried again for about a second and a half). Only after OnStart
 * ("DeleteLocalData failed, need call OnStart first" and false before). */
MIRTO_API bool MIRTO_CALL DeleteLocalData(unsigned int timeout_ms) noexcept;

/* Ends the library's work, so that the game can unload it with FreeLibrary (or start afresh).
 * Waits on the calling thread until every operation queued before the call has been delivered
 * (with the outbox on: stored on disk), at most timeout_ms, then stops the worker: what is still
 * queued is given up (with the outbox: stored), the internet session is closed, the outbox is
 * released and the library's threads end, which takes at most one second more (a request that
 * is inside the system's network call then ends with its time-outs, and its thread keeps the DLL
 * loaded until it does). Calls made meanwhile and afterwards are refused as before a start
 * ("operation queue init failed"); SetHost and SetOutbox work, and the next OnStart starts a new
 * session (a new worker, and the device report again). Returns true when everything queued was
 * delivered (or stored) in time; true at once when nothing was started. Any thread, not from a
 * DllMain. */
MIRTO_API bool MIRTO_CALL Shutdown(unsigned int timeout_ms) noexcept;

}  // namespace mirto

extern "C" {
#endif

/* UTF-8 forms of the functions above, for the Unity native-plugin interface and C callers.
 * Same rules and messages; the 128 limit applies to the text converted to UTF-16. */
MIRTO_API void MIRTO_CALL UnitySetHost(const char* host) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnityOnStart(const char* application_id, const char* channel,
                                       const char* game_version) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnitySetUser(const char* user_id, const char* user_name) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnitySetLevel(int level) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnitySetServer(const char* server) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnityOnCharge(const char* order_id, const char* product, int amount,
                                        const char* currency_type, int virtual_currency_amount,
                                        const char* payment) MIRTO_NOEXCEPT;
/* enabled: 0 off, anything else on. Flush returns 1 or 0. */
MIRTO_API void MIRTO_CALL UnitySetOutbox(int enabled) MIRTO_NOEXCEPT;
MIRTO_API int MIRTO_CALL UnityFlush(unsigned int timeout_ms) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnityGetDeliveryStats(MirtoDeliveryStats* stats) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnitySetLogCallback(MirtoLogCallback callback,
                                              void* context) MIRTO_NOEXCEPT;
/* required, granted: 0 false, anything else true. DeleteLocalData returns 1 or 0. */
MIRTO_API void MIRTO_CALL UnitySetConsentRequired(int required) MIRTO_NOEXCEPT;
MIRTO_API void MIRTO_CALL UnitySetConsent(int granted) MIRTO_NOEXCEPT;
MIRTO_API int MIRTO_CALL UnityDeleteLocalData(unsigned int timeout_ms) MIRTO_NOEXCEPT;
/* Returns 1 or 0. */
MIRTO_API int MIRTO_CALL UnityShutdown(unsigned int timeout_ms) MIRTO_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif /* MIRTO_MIRTO_H */
