// The library's lines in Unity's console.
//
// The DLL hands every line it writes to one callback (UnitySetLogCallback). This file gives it a
// static method, marked for IL2CPP's reverse P/Invoke, through one delegate held in a static field
// for the life of the process, so the function pointer the DLL keeps stays valid. It is handed
// over once, before the first call that can write a line, and taken back when the scripting
// domain unloads (the editor reloads scripts): the DLL stays loaded, and a pointer into an
// unloaded domain would crash it. The DLL's SetLogCallback waits until no line is on its way
// through the old callback, so nothing reaches the domain after that.
//
// A line arrives on the thread that wrote it: a refusal on the caller's, the rest on the
// library's worker. Unity's Debug.Log may be called from any thread. No exception leaves the
// callback: one would unwind into native code. On platforms without the DLL nothing here runs:
// only MirtoAnalytics's calls of the DLL route its lines.

using System;
using System.Runtime.InteropServices;
using System.Text;

#if !UNITY_5_3_OR_NEWER
namespace AOT
{
    /// <summary>Outside Unity, where UnityEngine's own attribute of this name is missing: marks
    /// a method that native code calls through a delegate (IL2CPP looks for it by name).</summary>
    [AttributeUsage(AttributeTargets.Method)]
    internal sealed class MonoPInvokeCallbackAttribute : Attribute
    {
        internal MonoPInvokeCallbackAttribute(Type type)
        {
            DelegateType = type;
        }

        internal Type DelegateType { get; private set; }
    }
}
#endif

namespace Mirto
{
    /// <summary>Where the DLL's lines go: the console, or the game's own callback.</summary>
    internal static class LogRouting
    {
        // The one delegate the DLL is ever given; never collected.
        private static readonly NativeMethods.LogCallback Receiver = Receive;
        private static readonly object RouteLock = new object();
        private static volatile bool routed;

        private static volatile Action<string> target;  // null: the console
        private static volatile bool usable = true;     // false: the DLL cannot be loaded
#if UNITY_5_3_OR_NEWER
        // From the quit until play starts again: the runtime is going away, so the DLL is only
        // probed, never handed the callback (calls from OnDisable or OnDestroy come after it).
        private static volatile bool quitSeen;
#endif

        /// <summary>The game's callback (MirtoAnalytics.SetLogCallback); null for the
        /// console.</summary>
        internal static void SetTarget(Action<string> callback)
        {
            target = callback;
        }

        /// <summary>Hands the receiver to the DLL, once (again after a domain unload). False
        /// when the DLL cannot be loaded in this process (a Windows player for Arm64, a DLL
        /// missing or blocked): said once, and then every method does nothing, as on another
        /// platform.</summary>
        internal static bool Route()
        {
            if (routed)
            {
                return usable;
            }
            lock (RouteLock)
            {
                if (routed)
                {
                    return usable;
                }
                try
                {
                    if (AfterQuit)
                    {
                        NativeMethods.UnitySetLogCallback(null, IntPtr.Zero);
                    }
                    else
                    {
                        NativeMethods.UnitySetLogCallback(Receiver, IntPtr.Zero);
                        AppDomain.CurrentDomain.DomainUnload += Unroute;
#if UNITY_5_3_OR_NEWER
                        // The scripting runtime goes away while the library's thread may still
                        // write: from the quit on, lines go to the debugger output only.
                        UnityEngine.Application.quitting += UnrouteAtQuit;
#endif
                    }
                }
                catch (DllNotFoundException e)
                {
                    NotLoaded(e);
                }
                catch (EntryPointNotFoundException e)
                {
                    NotLoaded(e);
                }
                catch (BadImageFormatException e)
                {
                    NotLoaded(e);
                }
                routed = true;
                return usable;
            }
        }

        private static void NotLoaded(Exception e)
        {
            usable = false;
            try
            {
                Deliver("Mirto: load failed, mirto.dll can not be used in this process (" +
                        e.GetType().Name + "), analytics calls do nothing");
            }
            catch (Exception)
            {
                // The game's callback threw: the line is lost, the game goes on.
            }
        }

        /// <summary>False once the DLL was found not to load (see Route); never loads
        /// it.</summary>
        internal static bool Usable
        {
            get { return usable; }
        }

        private static void Unroute(object sender, EventArgs args)
        {
            lock (RouteLock)
            {
                NativeMethods.UnitySetLogCallback(null, IntPtr.Zero);
                AppDomain.CurrentDomain.DomainUnload -= Unroute;
#if UNITY_5_3_OR_NEWER
                UnityEngine.Application.quitting -= UnrouteAtQuit;
#endif
                routed = false;
            }
        }

        private static bool AfterQuit
        {
            get
            {
#if UNITY_5_3_OR_NEWER
                return quitSeen;
#else
                return false;
#endif
            }
        }

#if UNITY_5_3_OR_NEWER
        private static void UnrouteAtQuit()
        {
            quitSeen = true;
            Unroute(null, EventArgs.Empty);
        }

        // The editor's next play mode, when it keeps the domain: lines reach the console again.
        [UnityEngine.RuntimeInitializeOnLoadMethod(
            UnityEngine.RuntimeInitializeLoadType.SubsystemRegistration)]
        private static void PlayStarts()
        {
            lock (RouteLock)
            {
                if (quitSeen)
                {
                    quitSeen = false;
                    routed = false;
                }
            }
        }
#endif

        [AOT.MonoPInvokeCallback(typeof(NativeMethods.LogCallback))]
        private static void Receive(IntPtr line, IntPtr context)
        {
            try
            {
                Deliver(FromUtf8z(line));
            }
            catch (Exception)
            {
                // The line is lost; the library and the game go on.
            }
        }

        private static void Deliver(string text)
        {
            var chosen = target;
            if (chosen != null)
            {
                chosen(text);
            }
            else
            {
                ToConsole(text);
            }
        }

        /// <summary>True for a line about a refused or failed call, shown as a warning.</summary>
        internal static bool IsFailure(string line)
        {
            return line.IndexOf(" failed", StringComparison.Ordinal) >= 0 ||
                   line.StartsWith("Mirto: need call", StringComparison.Ordinal) ||
                   line.StartsWith("Mirto: duplicate call", StringComparison.Ordinal);
        }

        private static void ToConsole(string line)
        {
#if UNITY_5_3_OR_NEWER
            if (IsFailure(line))
            {
                UnityEngine.Debug.LogWarning(line);
            }
            else
            {
                UnityEngine.Debug.Log(line);
            }
#else
            Console.Error.WriteLine(line);
#endif
        }

        // Marshal.PtrToStringUTF8 is missing from the .NET profiles of older Unity versions.
        private static string FromUtf8z(IntPtr text)
        {
            var length = 0;
            while (Marshal.ReadByte(text, length) != 0)
            {
                ++length;
            }
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }
}
