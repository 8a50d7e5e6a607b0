// The VR driver's settings file from C#: load, change and watch config.json as the driver does,
// through the C interface (tarvik_config_c.dll / libtarvik_config_c.so) on P/Invoke. One file:
// add it to the tray application's project. Works on .NET Framework 4.x and on .NET 6 and
// later (and on Mono): texts are marshalled as UTF-8 by hand, since .NET Framework has no
// UTF-8 string marshalling.
//
//   string settings = TarvikConfig.Load(path);           // JSON: every key, defaults filled in
//   TarvikConfig.Update(path, "{\"detection\": {\"sensitivity\": 0.5}}");
//   using (var watcher = new TarvikConfig.Watcher(path)) {
//       string news = watcher.WaitAndTake(1000);         // JSON, or null when nothing came
//   }
//
// Texts are JSON as <tarvik/tvc.h> describes them; parse them with the JSON library of your
// choice (System.Text.Json, Newtonsoft.Json). An update is one read-modify-write under the
// saves' lock that keeps every other program's changes and every key this version does not
// know; a refused patch writes nothing. Every failure throws TarvikException with the
// library's status and message. Put tarvik_config_c.dll next to the program (Windows), or
// libtarvik_config_c.so where the loader finds it (Linux: LD_LIBRARY_PATH or the system's
// library directories).
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Tarvik
{
    /// <summary>A call the library refused, or that failed; nothing was written.</summary>
    public class TarvikException : Exception
    {
        public TarvikException(int status, string message)
            : base(message + " (status " + status + ")")
        {
            Status = status;
            LibraryMessage = message;
        }

        /// <summary>One of the TarvikConfig.E* statuses.</summary>
        public int Status { get; private set; }

        /// <summary>The library's message, without the status.</summary>
        public string LibraryMessage { get; private set; }
    }

    public static class TarvikConfig
    {
        // The statuses of <tarvik/tvc.h>.
        public const int Ok = 0;
        public const int EArgument = 1;
        public const int EPatch = 2;
        public const int EKey = 3;
        public const int EValue = 4;
        public const int EUnreadable = 5;
        public const int EBusy = 6;
        public const int ESave = 7;
        public const int EMemory = 8;
        public const int ENoNews = 9;
        public const int EInternal = 10;

        const string Library = "tarvik_config_c";

        static class Native
        {
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern IntPtr tvc_version();

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern void tvc_free(IntPtr text);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern int tvc_load(byte[] path, out IntPtr settings, out IntPtr outcome,
                                              out IntPtr message);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern int tvc_update(byte[] path, byte[] patch, out IntPtr settings,
                                                out IntPtr message);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern int tvc_check(byte[] text, UIntPtr length, out IntPtr findings);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern int tvc_watch_open(byte[] path, out WatcherHandle watcher,
                                                    out IntPtr message);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern int tvc_watch_wait(WatcherHandle watcher, int timeoutMs);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern int tvc_watch_take(WatcherHandle watcher, out IntPtr news);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
            public static extern void tvc_watch_close(IntPtr watcher);
        }

        // A NUL-terminated UTF-8 copy of `text` for the library.
        static byte[] Utf8(string text, string what)
        {
            if (text == null) {
                throw new ArgumentNullException(what);
            }
            byte[] bytes = new byte[Encoding.UTF8.GetByteCount(text) + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        // The library's text at `pointer` as a string, given back to the library; null for NULL.
        static string TakeText(IntPtr pointer)
        {
            if (pointer == IntPtr.Zero) {
                return null;
            }
            try {
                int length = 0;
                while (Marshal.ReadByte(pointer, length) != 0) {
                    ++length;
                }
                byte[] bytes = new byte[length];
                Marshal.Copy(pointer, bytes, 0, length);
                return Encoding.UTF8.GetString(bytes);
            } finally {
                Native.tvc_free(pointer);
            }
        }

        static void Check(int status, string message)
        {
            if (status != Ok) {
                throw new TarvikException(status, message ?? "out of memory");
            }
        }

        /// <summary>The library's version, "0.3.0".</summary>
        public static string Version()
        {
            IntPtr text = Native.tvc_version();
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) {
                ++length;
            }
            byte[] bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.ASCII.GetString(bytes);  // static: never freed
        }

        /// <summary>The settings the driver would use, as JSON. `outcome` is "read" or
        /// "missing"; nothing is written or moved, and a file that is not a usable document,
        /// locked or unreadable throws (EUnreadable).</summary>
        public static string Load(string path, out string outcome)
        {
            IntPtr settings, outcomeText, message;
            int status = Native.tvc_load(Utf8(path, "path"), out settings, out outcomeText,
                                         out message);
            string settingsJson = TakeText(settings);
            outcome = TakeText(outcomeText);
            Check(status, TakeText(message));
            return settingsJson;
        }

        public static string Load(string path)
        {
            string outcome;
            return Load(path, out outcome);
        }

        /// <summary>Applies a JSON merge patch ({"detection": {"sensitivity": 0.5}}; null puts
        /// a key back to its default) and returns the settings as written, as JSON.</summary>
        public static string Update(string path, string patchJson)
        {
            IntPtr settings, message;
            int status = Native.tvc_update(Utf8(path, "path"), Utf8(patchJson, "patchJson"),
                                           out settings, out message);
            string settingsJson = TakeText(settings);
            Check(status, TakeText(message));
            return settingsJson;
        }

        /// <summary>The findings about a document's text, as tarvik-config check gives them:
        /// a JSON array of {line, column, severity, kind, key, message, hint}.</summary>
        public static string CheckText(string text)
        {
            byte[] bytes = Utf8(text, "text");
            IntPtr findings;
            int status = Native.tvc_check(bytes, new UIntPtr((uint)(bytes.Length - 1)),
                                          out findings);
            string findingsJson = TakeText(findings);
            Check(status, "the text could not be checked");
            return findingsJson;
        }

        // The library's watcher, closed (its thread stopped and joined) exactly once, also when
        // the program forgets to dispose of it.
        sealed class WatcherHandle : SafeHandle
        {
            WatcherHandle() : base(IntPtr.Zero, true) {}

            public override bool IsInvalid
            {
                get { return handle == IntPtr.Zero; }
            }

            protected override bool ReleaseHandle()
            {
                Native.tvc_watch_close(handle);
                return true;
            }
        }

        /// <summary>Reports each new state of the file that another program or a person makes
        /// (never this process's own updates); the first news is the state as the watch began.
        /// Use it from one thread at a time. A news is JSON: {"outcome", "settings", "changed",
        /// "problem", "initial", "polling", "sequence"}.</summary>
        public sealed class Watcher : IDisposable
        {
            readonly WatcherHandle handle;

            public Watcher(string path)
            {
                IntPtr message;
                WatcherHandle opened;
                int status = Native.tvc_watch_open(Utf8(path, "path"), out opened, out message);
                string messageText = TakeText(message);
                if (status != Ok) {
                    if (opened != null) {
                        opened.Dispose();
                    }
                    Check(status, messageText);
                }
                handle = opened;
            }

            WatcherHandle Live()
            {
                if (handle.IsClosed) {
                    throw new ObjectDisposedException("Watcher");
                }
                return handle;
            }

            /// <summary>Whether news is waiting, after waiting up to `timeoutMs`.</summary>
            public bool Wait(int timeoutMs)
            {
                int result = Native.tvc_watch_wait(Live(), timeoutMs);
                if (result < 0) {
                    throw new TarvikException(-result, "the watcher could not wait");
                }
                return result == 1;
            }

            /// <summary>The news waiting, as JSON, or null.</summary>
            public string Take()
            {
                IntPtr news;
                int status = Native.tvc_watch_take(Live(), out news);
                string newsJson = TakeText(news);
                if (status == ENoNews) {
                    return null;
                }
                Check(status, "the news could not be taken");
                return newsJson;
            }

            public string WaitAndTake(int timeoutMs)
            {
                return Wait(timeoutMs) ? Take() : null;
            }

            /// <summary>Stops the watcher and joins its thread. Never from a finalizer that
            /// runs under the Windows loader lock (DllMain).</summary>
            public void Dispose()
            {
                handle.Dispose();
            }
        }
    }
}
