/*
 * mirto: analytics reporting for Windows games.
 *
 * The game calls these functions from any of its threads. None of them blocks on the network
 * or the disk and none returns a result: each call checks its arguments, copies them and hands
 * them to the library's single private worker thread, which turns them into JSON reports and
 * posts them over HTTPS to the collection server, retrying every 5 seconds until the server
 * accepts each report.
 *
 * A refused call writes exactly one line to the debugger output (OutputDebugStringA), beginning
 * "Mirto: " and ending with CR LF, for example "Mirto: SetLevel failed, params error\r\n".
 * Nothing else tells the caller about a refusal. Checks run in this order:
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

#if defined(__cplusplus)
namespace mirto {

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

#if defined(__cplusplus)
}
#endif

#endif /* MIRTO_MIRTO_H */
