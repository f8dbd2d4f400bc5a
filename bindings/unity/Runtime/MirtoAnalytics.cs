// The C# face of mirto.dll for Unity games.
//
// Every method converts its text to NUL-terminated UTF-8, calls the DLL's flat Unity* function of
// the same name and returns; the DLL checks and copies the arguments on the calling thread and
// does the reporting on its own worker thread. The only state this file keeps is the timeout of
// the optional flush at quit (FlushOnQuit), behind a lock, so its methods may be called from any
// thread, and it throws nothing: the DLL alone decides what to refuse and says why in the
// debugger output, and through its log callback in the console (MirtoLog.cs). Every method that
// can make the DLL write a line sets that callback up first.
//
// Text is marshalled by hand as byte arrays. A string parameter would be marshalled in the ANSI
// code page by .NET Framework and by older Unity runtimes on Windows, and every character outside
// that code page would reach the DLL as '?'.
//
// In a Unity build for any platform other than Windows, and in the editor on another system
// (where a Windows DLL cannot load, whatever the build target), the methods do nothing (Flush,
// Shutdown and DeleteLocalData return true, GetDeliveryStats returns zeros), so game code that
// calls them still builds and runs there. So do they, after one warning line, in a Windows
// process that cannot load the DLL (a player for Arm64, a DLL missing or blocked).
// Outside Unity (no UNITY_* symbols) they always call the DLL, where it can be loaded.
//
// The flush at quit hangs on UnityEngine.Application.quitting in a Unity build, and on
// AppDomain.ProcessExit outside Unity.

#if !UNITY_5_3_OR_NEWER || UNITY_EDITOR_WIN || (UNITY_STANDALONE_WIN && !UNITY_EDITOR)
#define MIRTO_NATIVE_AVAILABLE
#endif

using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Mirto
{
    /// <summary>
    /// Reports a game's analytics through mirto.dll: the start of the session, the signed-in
    /// user, and the player's level, game server and purchases.
    /// </summary>
    /// <remarks>
    /// <para>
    /// Call <see cref="OnStart"/> once, then <see cref="SetUser"/> when a player signs in, then
    /// <see cref="SetLevel"/>, <see cref="SetServer"/> and <see cref="OnCharge"/> whenever they
    /// happen. <see cref="SetHost"/> may be called at any time, also before
    /// <see cref="OnStart"/>.
    /// </para>
    /// <para>
    /// Optional: <see cref="SetOutbox"/>, before <see cref="OnStart"/>, keeps unsent reports on
    /// disk across quits, crashes and outages; <see cref="Flush"/> waits, for a bounded time,
    /// until what was queued is delivered (or stored); <see cref="FlushOnQuit"/> makes that wait
    /// when the game quits; <see cref="GetDeliveryStats"/> reads the delivery counters;
    /// <see cref="Shutdown"/> ends the library's work.
    /// </para>
    /// <para>
    /// Privacy: <see cref="SetConsentRequired"/>, before <see cref="OnStart"/>, holds every
    /// report until the player has decided; <see cref="SetConsent"/> records the decision, which
    /// is remembered across runs; <see cref="DeleteLocalData"/> removes what the library keeps on
    /// the machine.
    /// </para>
    /// <para>
    /// No method but <see cref="Flush"/>, <see cref="Shutdown"/> and
    /// <see cref="DeleteLocalData"/> waits for the network or the disk, and none throws for a
    /// bad argument. Each call is checked and queued by the library, which sends the reports
    /// from its own thread and repeats each one until the collection server accepts it. A
    /// refused call writes one line beginning "Mirto: " to the debugger output
    /// (OutputDebugString) and to Unity's console, for example
    /// "Mirto: SetLevel failed, params error"; nothing else reports it. At most 500 calls may
    /// wait in the library's queue; further calls are refused until it drains.
    /// </para>
    /// <para>
    /// Text arguments: each may hold at most 128 UTF-16 code units, which is what
    /// <see cref="string.Length"/> counts (a character outside the Basic Multilingual Plane, such
    /// as most emoji, counts 2). A null string is passed as the empty text, so a null or empty
    /// required argument is refused. Text is sent to the library as UTF-8 and ends at the first
    /// '\0' character; an unpaired surrogate is sent as U+FFFD.
    /// </para>
    /// <para>
    /// Where the library's lines go, the console or a callback of the game's, is chosen with
    /// <see cref="SetLogCallback"/>.
    /// </para>
    /// <para>
    /// The library exists for Windows only: in a Unity player for another platform these methods
    /// do nothing.
    /// </para>
    /// </remarks>
    public static class MirtoAnalytics
    {
        /// <summary>
        /// Replaces the collection server's host name for every report sent from now on,
        /// including reports of calls made before.
        /// </summary>
        /// <param name="host">Host name, for example "collect.example.com"; required, 1 to 128
        /// code units.</param>
        public static void SetHost(string host)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnitySetHost(NativeText.ToUtf8z(host));
            }
#endif
        }

        /// <summary>
        /// Starts the reporting session and reports the device. Call it once, early; a second
        /// successful call changes nothing. The first call in the process may wait briefly (at
        /// most 5 seconds) for the library's worker thread to start; later calls never wait.
        /// </summary>
        /// <param name="applicationId">The game's application id; required, 1 to 128 code
        /// units. It also names the library's profile folder.</param>
        /// <param name="channel">The distribution channel; optional (null or empty), at most
        /// 128 code units.</param>
        /// <param name="gameVersion">The game's version; optional, at most 128 code units. When
        /// empty, the library reports the executable's file version.</param>
        public static void OnStart(string applicationId, string channel, string gameVersion)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnityOnStart(NativeText.ToUtf8z(applicationId), NativeText.ToUtf8z(channel),
                                           NativeText.ToUtf8z(gameVersion));
            }
#endif
        }

        /// <summary>
        /// Names the signed-in player; later level, server and purchase reports are about this
        /// player. Needs <see cref="OnStart"/> first.
        /// </summary>
        /// <param name="userId">The player's id; required, 1 to 128 code units.</param>
        /// <param name="userName">The player's display name; optional, at most 128 code
        /// units.</param>
        public static void SetUser(string userId, string userName)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnitySetUser(NativeText.ToUtf8z(userId), NativeText.ToUtf8z(userName));
            }
#endif
        }

        /// <summary>
        /// Reports the player's level. Needs <see cref="OnStart"/> and <see cref="SetUser"/>
        /// first.
        /// </summary>
        /// <param name="level">The level; 0 or more.</param>
        public static void SetLevel(int level)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnitySetLevel(level);
            }
#endif
        }

        /// <summary>
        /// Reports the game server the player is on. Needs <see cref="OnStart"/> and
        /// <see cref="SetUser"/> first.
        /// </summary>
        /// <param name="server">The server's name; required, 1 to 128 code units.</param>
        public static void SetServer(string server)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnitySetServer(NativeText.ToUtf8z(server));
            }
#endif
        }

        /// <summary>
        /// Reports a purchase. Needs <see cref="OnStart"/> first; once a player is set with
        /// <see cref="SetUser"/>, the purchase is reported for the player as well. Every text is
        /// optional (null or empty) and at most 128 code units.
        /// </summary>
        /// <param name="orderId">The order's id.</param>
        /// <param name="product">The product bought.</param>
        /// <param name="amount">The amount paid; 1 or more.</param>
        /// <param name="currencyType">The currency paid in, for example "USD".</param>
        /// <param name="virtualCurrencyAmount">The virtual currency granted; 0 or more.</param>
        /// <param name="payment">The payment channel.</param>
        public static void OnCharge(string orderId, string product, int amount, string currencyType,
                                    int virtualCurrencyAmount, string payment)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnityOnCharge(NativeText.ToUtf8z(orderId), NativeText.ToUtf8z(product), amount,
                                            NativeText.ToUtf8z(currencyType), virtualCurrencyAmount,
                                            NativeText.ToUtf8z(payment));
            }
#endif
        }

        /// <summary>
        /// Turns the outbox on or off. With it on, the library keeps every report on disk, under
        /// "%LOCALAPPDATA%\mirto\&lt;application id&gt;\outbox\", from before its first attempt
        /// until the collection server has accepted it, and sends the saved reports first at the
        /// next start, oldest first. Off by default. Call it before the first
        /// <see cref="OnStart"/>; a later call is refused
        /// ("Mirto: SetOutbox failed, OnStart already called").
        /// </summary>
        /// <remarks>
        /// <para>
        /// With the outbox on, reports are delivered at least once (a report whose attempt was
        /// cut off before any answer may arrive twice;
        /// <see cref="DeliveryStats.PossibleDuplicates"/> counts them), in order across
        /// restarts, and within 4000 reports and 4 MiB on disk: when it is full, level and server
        /// reports are given up first, purchases and player reports last.
        /// </para>
        /// <para>
        /// If the folder cannot be created, the disk is full or another copy of the game holds
        /// the outbox, the session goes on delivering from memory only and writes
        /// "Mirto: outbox failed, can not use the disk, delivering from memory only" once.
        /// </para>
        /// <para>
        /// Cost: one small file write, flush and rename per report, a rename before its first
        /// attempt and a delete once it is delivered, all on the library's own thread, never on
        /// the caller's.
        /// </para>
        /// </remarks>
        /// <param name="enabled">True to keep reports on disk, false for memory only.</param>
        public static void SetOutbox(bool enabled)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (!LogRouting.Route())
            {
                return;
            }
            NativeMethods.UnitySetOutbox(enabled ? 1 : 0);
            if (enabled)
            {
                // A game that keeps its reports on disk stores the last ones at quit: quick, as
                // storing does not wait for the network. FlushOnQuit, before or after, decides.
                lock (QuitLock)
                {
                    if (quitFlushChosen)
                    {
                        return;
                    }
                }
                AddQuitFlush(DefaultQuitFlushMs, false);
            }
#endif
        }

        /// <summary>
        /// Waits on the calling thread until every call queued before this one has been
        /// delivered (with the outbox on: stored on disk), and every <see cref="SetConsent"/>
        /// answer stored, at most <paramref name="timeoutMs"/> milliseconds. Any thread may call it; it never waits longer than asked. Meant for the
        /// moment the game is about to quit (see <see cref="FlushOnQuit"/>), not for every frame.
        /// </summary>
        /// <param name="timeoutMs">The longest wait, in milliseconds.</param>
        /// <returns>True when everything was delivered (or stored) in time, false when the time
        /// ran out first. True on platforms where the library does not run.</returns>
        public static bool Flush(uint timeoutMs)
        {
#if MIRTO_NATIVE_AVAILABLE
            return !LogRouting.Route() || NativeMethods.UnityFlush(timeoutMs) != 0;
#else
            return true;
#endif
        }

        /// <summary>
        /// Reads the library's delivery counters, counted since the library was loaded. Never
        /// waits.
        /// </summary>
        /// <returns>The counters; <see cref="DeliveryStats.Size"/> is the number of bytes the
        /// library filled. All zeros on platforms where the library does not run.</returns>
        public static DeliveryStats GetDeliveryStats()
        {
            var stats = new DeliveryStats();
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                stats.Size = (uint)Marshal.SizeOf(typeof(DeliveryStats));
                NativeMethods.UnityGetDeliveryStats(ref stats);
            }
#endif
            return stats;
        }

        /// <summary>
        /// Makes the game call <see cref="Flush"/> when it quits, waiting at most
        /// <paramref name="timeoutMs"/> milliseconds, so that the last reports of the session
        /// (for example the purchase made just before quitting) get their chance to be sent, or
        /// with the outbox on, to be stored. Off until called, except that
        /// <see cref="SetOutbox"/>(true) turns it on with 500 ms when this has not been called;
        /// call it once, for example next to <see cref="OnStart"/>. A later call replaces the
        /// timeout, and 0 turns the flush at quit off again (also the one SetOutbox turned on).
        /// </summary>
        /// <remarks>
        /// In a Unity game the flush runs from <c>Application.quitting</c> (also when play mode
        /// ends in the editor); outside Unity, from <see cref="AppDomain.ProcessExit"/>. Neither
        /// is raised when the process is killed or crashes: the outbox
        /// (<see cref="SetOutbox"/>) covers those. Quitting takes up to the timeout longer while
        /// the collection server is slow or out of reach, which is why it is opt-in and short.
        /// </remarks>
        /// <param name="timeoutMs">The longest wait at quit, in milliseconds; 500 unless given, 0
        /// for no flush at quit.</param>
        public static void FlushOnQuit(uint timeoutMs = DefaultQuitFlushMs)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                AddQuitFlush(timeoutMs, true);
            }
#endif
        }

        /// <summary>
        /// Chooses where the library's lines go. Without a call, and after a call with null, they
        /// go to Unity's console: <c>Debug.LogWarning</c> for a refused or failed call, such as
        /// "Mirto: SetLevel failed, params error", and <c>Debug.Log</c> for the others, such as
        /// the start's "Mirto: init succeed ..." (outside Unity: the standard error stream).
        /// With a callback, they go to it instead, and nowhere else but the debugger output.
        /// </summary>
        /// <remarks>
        /// A line arrives as it is written: a refusal on the thread whose call was refused,
        /// before that call returns; the library's own lines on its worker thread. So the
        /// callback must not use Unity APIs that only the main thread may call, and should return
        /// quickly. An exception it throws is dropped. The text is the library's line without
        /// its line end; the game's own texts in it are intact.
        /// </remarks>
        /// <param name="callback">Receives each line; null for the console.</param>
        public static void SetLogCallback(Action<string> callback)
        {
#if MIRTO_NATIVE_AVAILABLE
            LogRouting.SetTarget(callback);
            LogRouting.Route();
#endif
        }

        /// <summary>
        /// Asks for the player's consent before anything leaves the machine: until
        /// <see cref="SetConsent"/> is called, every call is checked and accepted as usual but held
        /// in memory, in order (at most 1000; when full, the oldest level and server reports are
        /// given up first), nothing is sent and nothing is written to disk. Off by default. Call it
        /// before the first <see cref="OnStart"/>; a later call is refused
        /// ("Mirto: SetConsentRequired failed, OnStart already called").
        /// </summary>
        /// <remarks>
        /// A decision stored by an earlier run applies at once: a grant lets the session report
        /// straight away, a refusal holds. While calls are held, <see cref="Flush"/> returns false
        /// without waiting.
        /// </remarks>
        /// <param name="required">True to hold every report until the player decides.</param>
        public static void SetConsentRequired(bool required)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnitySetConsentRequired(required ? 1 : 0);
            }
#endif
        }

        /// <summary>
        /// Records the player's decision; it is stored in the game's profile and holds at every
        /// later start, whether or not <see cref="SetConsentRequired"/> is called. Any time, any
        /// thread; a later call replaces the earlier decision.
        /// </summary>
        /// <remarks>
        /// <para>
        /// True: the held calls are reported in the order they were made, exactly as without the
        /// question, and everything after is reported as usual.
        /// </para>
        /// <para>
        /// False: the held calls, the reports still waiting to be sent and (with
        /// <see cref="SetOutbox"/>) the saved reports are dropped and counted
        /// (<see cref="DeliveryStats.OperationsDroppedConsent"/>,
        /// <see cref="DeliveryStats.ReportsDroppedConsent"/>); later calls are accepted but
        /// report nothing, and no ids are made. A report already on its way may still arrive. A
        /// later true reports from that moment on, the session's start and current player
        /// included; nothing made while the refusal stood is ever sent.
        /// </para>
        /// </remarks>
        /// <param name="granted">The player's answer.</param>
        public static void SetConsent(bool granted)
        {
#if MIRTO_NATIVE_AVAILABLE
            if (LogRouting.Route())
            {
                NativeMethods.UnitySetConsent(granted ? 1 : 0);
            }
#endif
        }

        /// <summary>
        /// Drops every report held, waiting or saved, and deletes the game's profile (its ids and
        /// the stored decision) and its outbox folder; the session then reports nothing until the
        /// next <see cref="OnStart"/>, which starts as on a new installation (new ids). The
        /// library's own thread does the work; this call waits at most
        /// <paramref name="timeoutMs"/> milliseconds for it. Only after <see cref="OnStart"/>
        /// (before: "Mirto: DeleteLocalData failed, need call OnStart first" and false).
        /// </summary>
        /// <remarks>
        /// The stored decision goes too: to keep a refusal, call <see cref="SetConsent"/>(false)
        /// again afterwards. Files that another program (an antivirus scanner, say) holds are
        /// tried again for about a second and a half.
        /// </remarks>
        /// <param name="timeoutMs">The longest wait, in milliseconds.</param>
        /// <returns>True when everything was removed in time. True on platforms where the library
        /// does not run.</returns>
        public static bool DeleteLocalData(uint timeoutMs)
        {
#if MIRTO_NATIVE_AVAILABLE
            return !LogRouting.Route() || NativeMethods.UnityDeleteLocalData(timeoutMs) != 0;
#else
            return true;
#endif
        }

        /// <summary>
        /// Ends the library's work, so that it can be unloaded or started afresh: waits on the
        /// calling thread until every call made before this one has been delivered (with the
        /// outbox on: stored on disk), at most <paramref name="timeoutMs"/> milliseconds, then
        /// stops the library's thread: what is still queued is given up (with the outbox:
        /// stored), the connection to the server is closed and the outbox is released. Stopping
        /// takes at most one second more.
        /// </summary>
        /// <remarks>
        /// Afterwards every call but <see cref="SetHost"/> and <see cref="SetOutbox"/> is refused
        /// as before a start ("operation queue init failed"), until <see cref="OnStart"/> starts a
        /// new session, which reports the device again and needs <see cref="SetUser"/> again.
        /// Unity never unloads a native plugin, so a game needs this only where it wants the
        /// library's work over at a moment of its own choosing (the editor's play mode, for
        /// example, ends with <c>Application.quitting</c>).
        /// </remarks>
        /// <param name="timeoutMs">The longest wait for delivery, in milliseconds.</param>
        /// <returns>True when everything was delivered (or stored) in time, false when the time
        /// ran out first. True on platforms where the library does not run.</returns>
        public static bool Shutdown(uint timeoutMs)
        {
#if MIRTO_NATIVE_AVAILABLE
            return !LogRouting.Route() || NativeMethods.UnityShutdown(timeoutMs) != 0;
#else
            return true;
#endif
        }

        private const uint DefaultQuitFlushMs = 500;

#if MIRTO_NATIVE_AVAILABLE
        private static readonly object QuitLock = new object();
        private static uint quitFlushTimeoutMs;
        private static bool quitHookAdded;
        private static bool quitFlushChosen;  // FlushOnQuit was called: SetOutbox leaves it be

        private static void AddQuitFlush(uint timeoutMs, bool chosen)
        {
            lock (QuitLock)
            {
                quitFlushTimeoutMs = timeoutMs;
                quitFlushChosen |= chosen;
                if (timeoutMs == 0 || quitHookAdded)
                {
                    return;
                }
                quitHookAdded = true;
#if UNITY_5_3_OR_NEWER
                UnityEngine.Application.quitting += FlushAtQuit;
#else
                AppDomain.CurrentDomain.ProcessExit += FlushAtProcessExit;
#endif
            }
        }

        private static void FlushAtQuit()
        {
            uint timeoutMs;
            lock (QuitLock)
            {
                timeoutMs = quitFlushTimeoutMs;
            }
            // Not routed again: the lines of the quit go to the debugger output only.
            if (timeoutMs != 0 && LogRouting.Usable)
            {
                NativeMethods.UnityFlush(timeoutMs);
            }
        }

#if !UNITY_5_3_OR_NEWER
        private static void FlushAtProcessExit(object sender, EventArgs args)
        {
            FlushAtQuit();
        }
#endif
#endif
    }

    /// <summary>
    /// The library's delivery counters, as <see cref="MirtoAnalytics.GetDeliveryStats"/> returns
    /// them. The fields are those of the native MirtoDeliveryStats, in its order and sizes. Counts
    /// are since the library was loaded.
    /// </summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct DeliveryStats
    {
        /// <summary>The number of bytes the library filled; 0 where the library does not
        /// run.</summary>
        public uint Size;

        /// <summary>The outbox: 0 off, 1 chosen (no start yet), 2 in use, 3 fell back to
        /// memory because the disk failed.</summary>
        public uint OutboxState;

        /// <summary>The HTTP status of the last failed attempt; 0 if none, or if it got no
        /// answer.</summary>
        public uint LastFailureStatus;

        /// <summary>The WinINet or system error of the last failed attempt that got no answer
        /// (12002: timed out); 0 otherwise.</summary>
        public uint LastFailureError;

        /// <summary>Calls of OnStart, SetUser, SetLevel, SetServer and OnCharge queued for the
        /// library's thread.</summary>
        public ulong OperationsAccepted;

        /// <summary>Calls refused because nothing was started yet ("operation queue init
        /// failed").</summary>
        public ulong RefusedNoWorker;

        /// <summary>Calls refused because 500 were waiting ("operation queue is
        /// full").</summary>
        public ulong RefusedQueueFull;

        /// <summary>Calls refused for a bad argument ("params error").</summary>
        public ulong RefusedParams;

        /// <summary>Reports the collection server accepted.</summary>
        public ulong ReportsDelivered;

        /// <summary>Attempts that were not accepted.</summary>
        public ulong AttemptsFailed;

        /// <summary>Reports delivered after an attempt was cut off before any answer: the server
        /// may hold them twice.</summary>
        public ulong PossibleDuplicates;

        /// <summary>Saved reports found in the outbox at the start.</summary>
        public ulong ReportsRestored;

        /// <summary>Reports built and not yet delivered, in memory.</summary>
        public ulong WaitingInMemory;

        /// <summary>Reports saved in the outbox and not yet delivered.</summary>
        public ulong WaitingInOutbox;

        /// <summary>Reports given up to keep the outbox within its caps.</summary>
        public ulong DroppedOutboxFull;

        /// <summary>Outbox files (or reports in them) found damaged, or not for a host, port and
        /// TLS the library would use, and removed unsent.</summary>
        public ulong DroppedDamaged;

        /// <summary>Without the outbox: reports given up when the library stopped
        /// (<see cref="MirtoAnalytics.Shutdown"/>'s time ran out).</summary>
        public ulong DroppedAtQuit;

        /// <summary>The age of the oldest report waiting, in milliseconds; 0 if none.</summary>
        public ulong OldestWaitingAgeMs;

        /// <summary>Calls queued and not yet handled by the library's thread.</summary>
        public ulong OperationsWaiting;

        /// <summary>Saved reports older than 30 days, given up.</summary>
        public ulong DroppedExpired;

        /// <summary>Reports given up because memory ran out.</summary>
        public ulong DroppedOutOfMemory;

        /// <summary>The player's consent: 0 not asked for and nothing decided, 1 waiting for the
        /// decision (calls are held), 2 granted, 3 refused.</summary>
        public uint ConsentState;

        /// <summary>Calls held now, waiting for the player's decision.</summary>
        public uint OperationsHeld;

        /// <summary>Held calls given up to stay within 1000 (level and server reports
        /// first).</summary>
        public ulong HeldDroppedFull;

        /// <summary>Calls given up by a refusal or by DeleteLocalData, or made while
        /// refused.</summary>
        public ulong OperationsDroppedConsent;

        /// <summary>Reports built and not delivered (in memory or saved) given up by a refusal or
        /// by DeleteLocalData.</summary>
        public ulong ReportsDroppedConsent;
    }

    /// <summary>The text form the DLL's functions take.</summary>
    internal static class NativeText
    {
        /// <summary>
        /// Returns <paramref name="text"/> as UTF-8 followed by one NUL byte, or null for null
        /// (the DLL takes a null pointer as the empty text). Never throws: an unpaired surrogate
        /// becomes U+FFFD, as Encoding.UTF8 does.
        /// </summary>
        internal static byte[] ToUtf8z(string text)
        {
            if (text == null)
            {
                return null;
            }
            // One allocation; the last byte stays 0 and is the terminator.
            var bytes = new byte[Encoding.UTF8.GetByteCount(text) + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }
    }

    /// <summary>
    /// The DLL's flat entry points: plain exported names, caller-cleans (cdecl) convention,
    /// NUL-terminated UTF-8 text as byte arrays; only UnityFlush, UnityShutdown and
    /// UnityDeleteLocalData return a result (an int: 1 or 0).
    /// </summary>
    internal static class NativeMethods
    {
        /// <summary>mirto.dll; each platform's runtime adds the file extension.</summary>
        private const string Library = "mirto";

        [DllImport(Library, EntryPoint = "UnitySetHost", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern void UnitySetHost([In] byte[] host);

        [DllImport(Library, EntryPoint = "UnityOnStart", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern void UnityOnStart([In] byte[] applicationId, [In] byte[] channel,
                                                 [In] byte[] gameVersion);

        [DllImport(Library, EntryPoint = "UnitySetUser", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern void UnitySetUser([In] byte[] userId, [In] byte[] userName);

        [DllImport(Library, EntryPoint = "UnitySetLevel", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern void UnitySetLevel(int level);

        [DllImport(Library, EntryPoint = "UnitySetServer", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern void UnitySetServer([In] byte[] server);

        [DllImport(Library, EntryPoint = "UnityOnCharge", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern void UnityOnCharge([In] byte[] orderId, [In] byte[] product, int amount,
                                                  [In] byte[] currencyType, int virtualCurrencyAmount,
                                                  [In] byte[] payment);

        [DllImport(Library, EntryPoint = "UnitySetOutbox",
                   CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void UnitySetOutbox(int enabled);

        [DllImport(Library, EntryPoint = "UnityFlush", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern int UnityFlush(uint timeoutMs);

        // The struct holds only uint and ulong fields, so it is passed as a plain pointer to the
        // caller's own copy: nothing is converted either way.
        [DllImport(Library, EntryPoint = "UnityGetDeliveryStats",
                   CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void UnityGetDeliveryStats(ref DeliveryStats stats);

        /// <summary>The header's MirtoLogCallback: the line as NUL-terminated UTF-8 (no line
        /// end), valid during the call, and the context given with the callback.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void LogCallback(IntPtr line, IntPtr context);

        // The library keeps the function pointer it is given: the caller keeps the delegate
        // behind it alive (LogRouting holds it for the process).
        [DllImport(Library, EntryPoint = "UnitySetLogCallback",
                   CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void UnitySetLogCallback(LogCallback callback, IntPtr context);

        [DllImport(Library, EntryPoint = "UnitySetConsentRequired",
                   CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void UnitySetConsentRequired(int required);

        [DllImport(Library, EntryPoint = "UnitySetConsent",
                   CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern void UnitySetConsent(int granted);

        [DllImport(Library, EntryPoint = "UnityDeleteLocalData",
                   CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int UnityDeleteLocalData(uint timeoutMs);

        [DllImport(Library, EntryPoint = "UnityShutdown", CallingConvention = CallingConvention.Cdecl,
                   ExactSpelling = true)]
        internal static extern int UnityShutdown(uint timeoutMs);
    }
}
