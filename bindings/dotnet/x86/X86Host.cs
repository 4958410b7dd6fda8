// SPDX-License-Identifier: MIT
// A host as a .NET Framework program built for x86 declares the library: its
// own [DllImport]s that name no calling convention, which the runtime then
// calls as Winapi (__stdcall in a 32-bit process on Windows, where tarvel.dll
// is __stdcall through TARVEL_CALL). Compiled with mcs -platform:x86.
//   X86Host.exe   exit 0 when every check held
using System;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;

namespace Tarvel.X86 {

  static class X86Host {
    const string Library = "tarvel";
    static int failed_;

    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern int TarvelPortOpen(int port);
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern int TarvelPortSend(string text);
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern IntPtr TarvelCheckText(int blank);
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern int TarvelStatusCopy(StringBuilder buffer, int capacity);
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern int TarvelProgress(out long done, out long total);
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern IntPtr TarvelLinkCreate();
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern int TarvelLinkSet(IntPtr link, string key, string value);
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern int TarvelLinkNextPeerEvent(IntPtr link, int timeoutMs, StringBuilder text,
                                              int capacity, StringBuilder peer, int peerCapacity);
    [DllImport(Library, CharSet = CharSet.Unicode)]
    static extern void TarvelLinkDestroy(IntPtr link);

    static void Check(bool held, string what) {
      if (held) return;
      failed_++;
      Console.Error.WriteLine("FAILED: " + what);
    }

    static string Status() {
      var text = new StringBuilder(2000);
      TarvelStatusCopy(text, text.Capacity);
      return text.ToString();
    }

    static int Main() {
      PortableExecutableKinds kind;
      ImageFileMachine machine;
      typeof(X86Host).Module.GetPEKind(out kind, out machine);
      Check(machine == ImageFileMachine.I386 && (kind & PortableExecutableKinds.Required32Bit) != 0,
            "the host is built for x86 only, as a 32-bit .NET Framework program is: " + kind +
                " " + machine);
      Console.WriteLine("process: {0}-bit", IntPtr.Size * 8);

      // Calls of one to six arguments, each checked by its result: a wrong
      // convention on 32-bit Windows corrupts the stack by the arguments' size.
      Check(TarvelPortOpen(250) == 1, "no COM250: the open fails with 1");
      Check(Status().StartsWith("FAIL: cannot open COM250"), "the failed open's status: " + Status());
      Check(Marshal.PtrToStringUni(TarvelCheckText(1)) == " ", "blanking the status");
      Check(TarvelPortSend("text") == 999, "a send on no port still returns 999");
      long done, total;
      Check(TarvelProgress(out done, out total) == 0 && done == 0 && total == 0,
            "no transfer in progress");
      IntPtr link = TarvelLinkCreate();
      Check(link != IntPtr.Zero, "a link of its own");
      Check(TarvelLinkSet(link, "no_such_key", "1") == 0, "an unknown setting is refused");
      Check(TarvelLinkSet(link, "root", "x86-root") == 999, "a known setting is taken");
      var text = new StringBuilder(64);
      var peer = new StringBuilder(18);
      Check(TarvelLinkNextPeerEvent(link, 0, text, text.Capacity, peer, peer.Capacity) == 0,
            "a fresh link has no event");
      TarvelLinkDestroy(link);
      Console.WriteLine(failed_ == 0 ? "x86 host: every check held" : "x86 host: failures");
      return failed_ == 0 ? 0 : 1;
    }
  }
}
