// SPDX-License-Identifier: MIT
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
//  - Every import is Winapi, as the header's TARVEL_CALL declares: __stdcall
//    in a 32-bit process on Windows, the platform's one convention elsewhere
//    (64-bit Windows, Linux). Cdecl would be wrong in a 32-bit Windows host;
//    StdCall would be wrong in a 32-bit Linux one. Winapi is also what an
//    import that names no convention gets.
//
// TarvelNative drives the library's default link, whose settings come from the
// environment (TARVEL_ROOT, TARVEL_COM<n>, ...). A Link is a link of its own
// (TarvelLink*, held by a SafeHandle) with its own port, listener, status and
// events, its settings made through Set: one process can drive several devices.
using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;

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

  /// <summary>
  /// One event of a link's queue: its kind, its text, and the address of the
  /// Bluetooth peer it concerns ("" when it concerns no one peer).
  /// </summary>
  public sealed class TarvelEvent {
    public TarvelEvent(TarvelEventKind kind, string text) : this(kind, text, "") {}

    public TarvelEvent(TarvelEventKind kind, string text, string peer) {
      Kind = kind;
      Text = text;
      Peer = peer;
    }

    public TarvelEventKind Kind { get; private set; }
    public string Text { get; private set; }
    public string Peer { get; private set; }

    public override string ToString() {
      return Kind + ": " + Text + (Peer == "" ? "" : " (" + Peer + ")");
    }
  }

  /// <summary>A call of a Link failed; Reason is the library's own text.</summary>
  public sealed class TarvelException : Exception {
    public TarvelException(string reason) : base(reason) { Reason = reason; }

    public string Reason { get; private set; }
  }

  /// <summary>
  /// A TarvelLink* of the library. Releasing it destroys the link: its port
  /// closes and its listener stops. The runtime releases it only once no call
  /// on it is in progress.
  /// </summary>
  public sealed class TarvelLinkHandle : SafeHandle {
    public TarvelLinkHandle() : base(IntPtr.Zero, true) {}

    public override bool IsInvalid {
      get { return handle == IntPtr.Zero; }
    }

    protected override bool ReleaseHandle() {
      TarvelNative.TarvelLinkDestroy(handle);
      return true;
    }
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

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelPortOpen(int port);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern IntPtr TarvelPortRead();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelPortClose();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelPortSend(string text);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelPortCreate();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelServer();

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelSendFile(string localPath, string remoteName);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelGetFile(string localSavePath, string remoteName);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelListFiles(string pattern);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern IntPtr TarvelCheckText(int blank);

    // The library's additions.

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelStatusCopy([Out] char[] buffer, int capacity);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelProgress(out long done, out long total);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelNextEvent(int timeoutMs, [Out] char[] text, int capacity);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLastFailure([Out] char[] text, int capacity);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelIncomingPort();

    // Ends a TarvelNextEvent that waits on another thread (or the next one).
    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern void TarvelStopWaiting();

    // Links as objects (see Link): a twin of every function above, on one link.

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern TarvelLinkHandle TarvelLinkCreate();

    // Called by TarvelLinkHandle alone, when the handle is released.
    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    internal static extern void TarvelLinkDestroy(IntPtr link);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkSet(TarvelLinkHandle link, string key, string value);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkPortOpen(TarvelLinkHandle link, int port);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern IntPtr TarvelLinkPortRead(TarvelLinkHandle link);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkPortClose(TarvelLinkHandle link);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkPortSend(TarvelLinkHandle link, string text);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkPortCreate(TarvelLinkHandle link);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkServer(TarvelLinkHandle link);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkSendFile(TarvelLinkHandle link, string localPath,
                                                string remoteName);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkGetFile(TarvelLinkHandle link, string localSavePath,
                                               string remoteName);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkListFiles(TarvelLinkHandle link, string pattern);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern IntPtr TarvelLinkCheckText(TarvelLinkHandle link, int blank);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkStatusCopy(TarvelLinkHandle link, [Out] char[] buffer,
                                                  int capacity);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkProgress(TarvelLinkHandle link, out long done,
                                                out long total);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkNextEvent(TarvelLinkHandle link, int timeoutMs,
                                                 [Out] char[] text, int capacity);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkIncomingPort(TarvelLinkHandle link);

    [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi)]
    public static extern void TarvelLinkStopWaiting(TarvelLinkHandle link);

    [DllImport(LibraryName, CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Winapi)]
    public static extern int TarvelLinkNextPeerEvent(TarvelLinkHandle link, int timeoutMs,
                                                     [Out] char[] text, int capacity,
                                                     [Out] char[] peer, int peerCapacity);

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

    internal static string TerminatedText(char[] buffer) {
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

  /// <summary>
  /// A link of its own: its own port, listener, status text, events and
  /// settings, made through Set (a Link reads no environment). Calls that fail
  /// throw TarvelException with the library's reason. Dispose closes the port,
  /// stops the listener and any transfer in progress, ends waits for events and
  /// frees the link; other links are untouched.
  /// </summary>
  public sealed class Link : IDisposable {
    /// <summary>Room for a peer's address ("00:11:22:33:44:55") and its terminator.</summary>
    const int PeerCapacity = 32;

    readonly TarvelLinkHandle handle_;
    int waiting_;  // calls of NextEvent in progress, which Dispose ends

    public Link() {
      handle_ = TarvelNative.TarvelLinkCreate();
      if (handle_.IsInvalid)
        throw new OutOfMemoryException("the library could not make a link");
    }

    /// <summary>The library's link, for the TarvelLink functions of TarvelNative.</summary>
    public TarvelLinkHandle Handle {
      get { return handle_; }
    }

    /// <summary>
    /// Makes one setting: key "com&lt;n&gt;" (the device of port n), "root",
    /// "codepage", "registry", "on_clash", "create_folders", "line_records" or
    /// "peers"; null or "" removes it. Applies from the next call that uses it.
    /// </summary>
    public void Set(string key, string value) {
      if (Checked(TarvelNative.TarvelLinkSet(handle_, key, value ?? "")) != TarvelNative.Done)
        throw new TarvelException("the setting " + key + " was refused");
    }

    /// <summary>Opens port number `port` ("COM&lt;port&gt;:"), closing one opened
    /// earlier.</summary>
    public void Open(int port) {
      int result = TarvelNative.TarvelLinkPortOpen(handle_, port);
      string failure = TarvelNative.LastFailure();
      if (result == TarvelNative.PortUnavailable)
        throw new TarvelException(failure ?? "cannot open COM" + port + ":");
    }

    /// <summary>Closes the port; the listener keeps polling and picks up the next Open.</summary>
    public void ClosePort() { Checked(TarvelNative.TarvelLinkPortClose(handle_)); }

    /// <summary>Starts the link's listener (once).</summary>
    public void Serve() { Checked(TarvelNative.TarvelLinkServer(handle_)); }

    /// <summary>Registers the incoming Bluetooth serial port (see TarvelPortCreate).</summary>
    public void Register() { Checked(TarvelNative.TarvelLinkPortCreate(handle_)); }

    /// <summary>Whether Register registered the incoming port with the Bluetooth service.</summary>
    public bool IncomingPort {
      get { return TarvelNative.TarvelLinkIncomingPort(handle_) == 1; }
    }

    public void SendText(string text) { Checked(TarvelNative.TarvelLinkPortSend(handle_, text)); }

    public void SendFile(string localPath, string remoteName) {
      Checked(TarvelNative.TarvelLinkSendFile(handle_, localPath, remoteName));
    }

    /// <summary>Asks for the peer's `remoteName`; the answer is an Answer event.</summary>
    public void GetFile(string localSavePath, string remoteName) {
      Checked(TarvelNative.TarvelLinkGetFile(handle_, localSavePath ?? "", remoteName));
    }

    public void ListFiles(string pattern) {
      Checked(TarvelNative.TarvelLinkListFiles(handle_, pattern));
    }

    /// <summary>The polled read, without the listener: what it took, or "".</summary>
    public string Read() {
      Checked(TarvelNative.TarvelLinkPortRead(handle_));
      return Status();
    }

    /// <summary>The link's status text, copied under its lock.</summary>
    public string Status() {
      char[] buffer = new char[TarvelNative.TextCapacity];
      int length = TarvelNative.TarvelLinkStatusCopy(handle_, buffer, buffer.Length);
      while (length >= buffer.Length) {
        buffer = new char[length + 1];
        length = TarvelNative.TarvelLinkStatusCopy(handle_, buffer, buffer.Length);
      }
      return new string(buffer, 0, length);
    }

    /// <summary>Replaces the status text with " ".</summary>
    public void BlankStatus() { Checked(TarvelNative.TarvelLinkCheckText(handle_, 1)); }

    /// <summary>The bytes done and announced of the transfer in progress; false when none
    /// is.</summary>
    public bool Progress(out long done, out long total) {
      return TarvelNative.TarvelLinkProgress(handle_, out done, out total) == 1;
    }

    /// <summary>
    /// The link's next event with its peer, waiting up to timeoutMs milliseconds
    /// (0: do not wait; negative: without limit); null when none came, when
    /// StopWaiting ended the wait, or when the link was disposed meanwhile.
    /// </summary>
    public TarvelEvent NextEvent(int timeoutMs) {
      char[] text = new char[TarvelNative.TextCapacity];
      char[] peer = new char[PeerCapacity];
      int kind;
      Interlocked.Increment(ref waiting_);
      try {
        kind = TarvelNative.TarvelLinkNextPeerEvent(handle_, timeoutMs, text, text.Length, peer,
                                                    peer.Length);
      } finally {
        Interlocked.Decrement(ref waiting_);
      }
      if (kind == (int)TarvelEventKind.None)
        return null;
      return new TarvelEvent((TarvelEventKind)kind, TarvelNative.TerminatedText(text),
                             TarvelNative.TerminatedText(peer));
    }

    /// <summary>Ends a NextEvent waiting on another thread (or, when none waits, the
    /// next).</summary>
    public void StopWaiting() { TarvelNative.TarvelLinkStopWaiting(handle_); }

    public void Dispose() {
      if (handle_.IsClosed)
        return;
      // The port first, so that a transfer on another thread stops short; the
      // handle is released once every call on it has returned.
      TarvelNative.TarvelLinkPortClose(handle_);
      while (Volatile.Read(ref waiting_) > 0) {
        TarvelNative.TarvelLinkStopWaiting(handle_);
        Thread.Sleep(10);
      }
      handle_.Dispose();
    }

    // Throws the reason when the call just made on this thread failed.
    static T Checked<T>(T result) {
      string failure = TarvelNative.LastFailure();
      if (failure != null)
        throw new TarvelException(failure);
      return result;
    }
  }

}  // namespace Tarvel
