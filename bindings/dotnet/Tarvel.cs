// Tarvel.cs - the Tarvel library's C interface for C# hosts (P/Invoke).
//
// Add this file to the host's project. It binds tarvel.dll on Windows and
// libtarvel.so.1 on Linux:
//  - Mono applies a <dllmap> only to the assembly that declares the import,
//    so put Tarvel.dll.config beside the assembly this file is compiled into,
//    named after it: MyHost.exe.config for MyHost.exe (or merge its <dllmap>
//    line into the host's own config). Without it Mono finds only the
//    development link libtarvel.so and throws DllNotFoundException where just
//    libtarvel.so.1 is installed.
//  - Runtimes that have NativeLibrary (.NET Core 3 and later) are pointed at
//    libtarvel.so.1 by a resolver that this class registers itself.
//
// The declarations are the ones that work; the plausible others do not:
//  - The library's texts are UTF-16, so every import says CharSet.Unicode.
//    CharSet.Auto (or none) passes 8-bit text on Linux, which the library
//    reads as UTF-16: "héllo" goes out as garbage and the call still returns 999.
//  - TarvelPortRead and TarvelCheckText return a pointer into the library,
//    declared IntPtr. Declared string, the runtime frees that pointer and the
//    process aborts. Read the status with Status() (TarvelStatusCopy): the
//    listener thread may replace the text under a reader of the pointer.
//  - Every import is Cdecl, as the header declares (it matters on 32-bit Windows).
using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Tarvel {

  /// <summary>The kinds of event that TarvelNextEvent returns, numbered as in tarvel.h.</summary>
  public enum TarvelEventKind {
    None = 0,         // no event came within the time-out
    Received = 1,     // the listener saved a file the peer pushed: its path
    Sent = 2,         // TarvelSendFile sent a file: its local path
    GetAnswered = 3,  // the peer's get request was answered: the name
    Listed = 4,       // the peer's list request was handled: the pattern
    PeerText = 5,     // the listener received a text: the text
    PolledText = 6,   // TarvelPortRead took a text: the text
    PolledFile = 7,   // TarvelPortRead saved a file: its name
    Failure = 8,      // something failed: the reason
    Dropped = 9,      // events lost to a full queue: their count
    Answer = 10,      // the answer to this host's own get request was saved: its save path
    Notice = 11,      // neither a result nor a failure, for the host to show: the text
  }

  /// <summary>One event of the library's queue: its kind and its text.</summary>
  public sealed class TarvelEvent {
    public TarvelEvent(TarvelEventKind kind, string text) {
      Kind = kind;
      Text = text;
    }

    public TarvelEventKind Kind { get; private set; }
    public string Text { get; private set; }

    public override string ToString() { return Kind + ": " + Text; }
  }

  public static class TarvelNative {
    /// <summary>The name in every import: tarvel.dll, libtarvel.so.1 through the map.</summary>
    public const string LibraryName = "tarvel";
    /// <summary>The file the resolver loads where the runtime has NativeLibrary.</summary>
    public const string UnixLibraryFile = "libtarvel.so.1";

    /// <summary>What every int-returning function returns when it is done.</summary>
    public const int Done = 999;
    /// <summary>What TarvelPortOpen returns when the port cannot be opened.</summary>
    public const int PortUnavailable = 1;
    /// <summary>The status text's capacity with its terminator; any event's text fits.</summary>
    public const int TextCapacity = 2000;

    static TarvelNative() { UseResolverWhereAvailable(); }

    // The ten functions of the library, by their exported names.

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelPortOpen(int port);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr TarvelPortRead();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelPortClose();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelPortSend(string text);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelPortCreate();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelServer();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelSendFile(string localPath, string remoteName);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelGetFile(string localSavePath, string remoteName);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelListFiles(string pattern);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr TarvelCheckText(int blank);

    // The library's additions.

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelStatusCopy([Out] char[] buffer, int capacity);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelProgress(out long done, out long total);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelNextEvent(int timeoutMs, [Out] char[] text, int capacity);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelLastFailure([Out] char[] text, int capacity);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
    public static extern int TarvelIncomingPort();

    // Ends a TarvelNextEvent that waits on another thread (or the next one).
    [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
    public static extern void TarvelStopWaiting();

    // Helpers.

    /// <summary>The status text, copied under the library's lock.</summary>
    public static string Status() {
      char[] buffer = new char[TextCapacity];
      int length = TarvelStatusCopy(buffer, buffer.Length);
      while (length >= buffer.Length) {
        // Replaced by a longer text since the first look: copy again, larger.
        buffer = new char[length + 1];
        length = TarvelStatusCopy(buffer, buffer.Length);
      }
      return new string(buffer, 0, length);
    }

    /// <summary>
    /// The next event of the library's queue, waiting up to timeoutMs milliseconds
    /// (0: do not wait; negative: without limit); null when none came.
    /// </summary>
    public static TarvelEvent NextEvent(int timeoutMs) {
      char[] text = new char[TextCapacity];
      int kind = TarvelNextEvent(timeoutMs, text, text.Length);
      if (kind == (int)TarvelEventKind.None)
        return null;
      return new TarvelEvent((TarvelEventKind)kind, TerminatedText(text));
    }

    /// <summary>
    /// Why the calling thread's last call of the library failed, or null when it
    /// did not. Ask right after the call: every call of the library resets it.
    /// </summary>
    public static string LastFailure() {
      char[] buffer = new char[TextCapacity];
      if (TarvelLastFailure(buffer, buffer.Length) == 0)
        return null;
      return TerminatedText(buffer);
    }

    static string TerminatedText(char[] buffer) {
      int length = Array.IndexOf(buffer, '\0');
      return new string(buffer, 0, length < 0 ? buffer.Length : length);
    }

    // Where the runtime has System.Runtime.InteropServices.NativeLibrary (.NET
    // Core 3 and later), a resolver loads libtarvel.so.1 off Windows. Found by
    // reflection, so that the file also compiles for Mono and .NET Framework,
    // which have no such type. An assembly takes one resolver: if the host has
    // set its own, that one stays.
    static void UseResolverWhereAvailable() {
      Assembly runtime = typeof(object).Assembly;
      Type nativeLibrary = runtime.GetType("System.Runtime.InteropServices.NativeLibrary");
      Type resolverType = runtime.GetType("System.Runtime.InteropServices.DllImportResolver");
      if (nativeLibrary == null || resolverType == null)
        return;
      MethodInfo setResolver =
          nativeLibrary.GetMethod("SetDllImportResolver", new[] { typeof(Assembly), resolverType });
      MethodInfo resolve =
          typeof(TarvelNative).GetMethod("Resolve", BindingFlags.NonPublic | BindingFlags.Static);
      if (setResolver == null || resolve == null)
        return;
      try {
        Delegate resolver = Delegate.CreateDelegate(resolverType, resolve);
        setResolver.Invoke(null, new object[] { typeof(TarvelNative).Assembly, resolver });
      } catch (TargetInvocationException) {
        // The host's own resolver is in place.
      }
    }

    static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath) {
      if (name != LibraryName || Path.DirectorySeparatorChar == '\\')
        return IntPtr.Zero;
      Type nativeLibrary =
          typeof(object).Assembly.GetType("System.Runtime.InteropServices.NativeLibrary");
      MethodInfo tryLoad = nativeLibrary.GetMethod(
          "TryLoad", new[] { typeof(string), typeof(Assembly), typeof(DllImportSearchPath?),
                             typeof(IntPtr).MakeByRefType() });
      if (tryLoad == null)
        return IntPtr.Zero;
      object[] arguments = { UnixLibraryFile, assembly, searchPath, IntPtr.Zero };
      if (!(bool)tryLoad.Invoke(null, arguments))
        return IntPtr.Zero;
      return (IntPtr)arguments[3];
    }
  }

}  // namespace Tarvel
