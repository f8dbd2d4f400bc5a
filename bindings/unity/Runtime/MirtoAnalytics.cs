// The C# face of mirto.dll for Unity games.
//
// Every method converts its text to NUL-terminated UTF-8, calls the DLL's flat Unity* function of
// the same name and returns; the DLL checks and copies the arguments on the calling thread and
// does the reporting on its own worker thread. This file keeps no state, so its methods may be
// called from any thread, and it throws nothing: the DLL alone decides what to refuse and says
// why in the debugger output.
//
// Text is marshalled by hand as byte arrays. A string parameter would be marshalled in the ANSI
// code page by .NET Framework and by older Unity runtimes on Windows, and every character outside
// that code page would reach the DLL as '?'.
//
// In a Unity build for any platform other than Windows the methods do nothing, so game code that
// calls them still builds and runs there. Outside Unity (no UNITY_* symbols) they always call the
// DLL.

#if !UNITY_5_3_OR_NEWER || UNITY_STANDALONE_WIN || UNITY_EDITOR_WIN
#define MIRTO_NATIVE_AVAILABLE
#endif

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
    /// No method waits for the network or the disk, returns a result or throws for a bad
    /// argument. Each call is checked and queued by the library, which sends the reports from its
    /// own thread and repeats each one until the collection server accepts it. A refused call
    /// writes one line beginning "Mirto: " to the debugger output (OutputDebugString), for
    /// example "Mirto: SetLevel failed, params error"; nothing else reports it. At most 500
    /// calls may wait in the library's queue; further calls are refused until it drains.
    /// </para>
    /// <para>
    /// Text arguments: each may hold at most 128 UTF-16 code units, which is what
    /// <see cref="string.Length"/> counts (a character outside the Basic Multilingual Plane, such
    /// as most emoji, counts 2). A null string is passed as the empty text, so a null or empty
    /// required argument is refused. Text is sent to the library as UTF-8 and ends at the first
    /// '\0' character; an unpaired surrogate is sent as U+FFFD.
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
            NativeMethods.UnitySetHost(NativeText.ToUtf8z(host));
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
            NativeMethods.UnityOnStart(NativeText.ToUtf8z(applicationId), NativeText.ToUtf8z(channel),
                                       NativeText.ToUtf8z(gameVersion));
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
            NativeMethods.UnitySetUser(NativeText.ToUtf8z(userId), NativeText.ToUtf8z(userName));
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
            NativeMethods.UnitySetLevel(level);
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
            NativeMethods.UnitySetServer(NativeText.ToUtf8z(server));
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
            NativeMethods.UnityOnCharge(NativeText.ToUtf8z(orderId), NativeText.ToUtf8z(product), amount,
                                        NativeText.ToUtf8z(currencyType), virtualCurrencyAmount,
                                        NativeText.ToUtf8z(payment));
#endif
        }
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
    /// NUL-terminated UTF-8 text as byte arrays, no result.
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
    }
}
