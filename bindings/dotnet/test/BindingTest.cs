// SPDX-License-Identifier: MIT
// A C# host of the built library through Tarvel.cs, run under Mono with the
// library reachable only as libtarvel.so.1 (through the dllmap): the default
// link, set through the environment, on a raw pty pair; two Links on pty pairs
// of their own; and a Link on a cable to processes of the tarvel command.
//   BindingTest.exe TARVEL_PROGRAM LIBRARY  the host's road, with the built LIBRARY;
//                                           exit 0 when every check held
//   BindingTest.exe --expect-no-library LIBRARY
//                                           exit 0 when the import cannot be resolved
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Tarvel.Tests {

  static class BindingTest {
    const int Port = 7;
    const string MissingTty = "/nonexistent/tarvel-tty";
    static int passed_, failed_;

    static int Main(string[] args) {
      if (args.Length == 2 && args[0] == "--expect-no-library")
        return ExpectNoLibrary(args[1]);
      if (args.Length != 2) {
        Console.Error.WriteLine(
            "usage: BindingTest.exe TARVEL_PROGRAM LIBRARY | --expect-no-library LIBRARY");
        return 2;
      }
      string work =
          Path.Combine(Path.GetTempPath(), "tarvel-dotnet-" + Guid.NewGuid().ToString("N"));
      Directory.CreateDirectory(work);
      try {
        // The default link reads the environment once, at its first use.
        PosixPty.SetEnvironment("TARVEL_REGISTRY", Path.Combine(work, "registry.reg"));
        PosixPty.SetEnvironment("TARVEL_COM8", MissingTty);
        TextAndPollOnARawPty();
        CheckEqual(PosixPty.RealPath(args[1]), PosixPty.RealPath(LoadedLibrary()),
                   "the library loaded is the one built");
        OpenFailureIsReported();
        TwoLinks.Run();
        new CableRoad(args[0], work).Run();
      } finally {
        TarvelNative.TarvelPortClose();
        Directory.Delete(work, true);
      }
      Console.WriteLine(passed_ + " passed, " + failed_ + " failed");
      return failed_ == 0 ? 0 : 1;
    }

    public static void Check(bool holds, string what) {
      if (holds) {
        passed_++;
        Console.WriteLine("ok   " + what);
      } else {
        failed_++;
        Console.WriteLine("FAIL " + what);
      }
    }

    public static void CheckEqual<T>(T expected, T actual, string what) {
      bool same = EqualityComparer<T>.Default.Equals(expected, actual);
      Check(same, same ? what : what + ": expected \"" + expected + "\", got \"" + actual + "\"");
    }

    // Without the dllmap, Mono looks for libtarvel.so alone and never reaches a
    // library installed only as libtarvel.so.1: the map is what makes it reachable.
    // Where a development link is installed, the import resolves to that one.
    static int ExpectNoLibrary(string built) {
      try {
        TarvelNative.Status();
      } catch (DllNotFoundException error) {
        Console.WriteLine("without the dllmap, as expected: " + error.GetType().Name);
        return 0;
      }
      string found = LoadedLibrary();
      if (PosixPty.RealPath(found) == PosixPty.RealPath(built)) {
        Console.WriteLine("without the dllmap, the library was found by its run-time name: " +
                          found);
        return 1;
      }
      Console.WriteLine("without the dllmap, only the development link elsewhere was found: " +
                        found);
      return 0;
    }

    // The file of the libtarvel mapped into this process, or null.
    static string LoadedLibrary() {
      foreach (string line in File.ReadAllLines("/proc/self/maps")) {
        int path = line.IndexOf('/');
        if (path >= 0 && Path.GetFileName(line.Substring(path)).StartsWith("libtarvel.so"))
          return line.Substring(path);
      }
      return null;
    }

    // The host's text goes out in Windows-1252 (é 0xE9, € 0x80), and a text
    // waiting on the port comes back through TarvelPortRead.
    static void TextAndPollOnARawPty() {
      using (var pty = new PosixPty()) {
        PosixPty.SetEnvironment("TARVEL_COM" + Port, pty.SlavePath);  // before the first use
        CheckEqual(TarvelNative.Done, TarvelNative.TarvelPortOpen(Port), "TarvelPortOpen on a pty");
        CheckEqual(TarvelNative.Done, TarvelNative.TarvelPortSend("h\u00e9llo \u20ac"),
                   "TarvelPortSend returns done");
        CheckEqual(null, TarvelNative.LastFailure(), "TarvelPortSend did not fail");
        byte[] wire = pty.ReadExactly(7, 3000);
        CheckEqual("68-E9-6C-6C-6F-20-80", BitConverter.ToString(wire),
                   "h\u00e9llo \u20ac arrives as its Windows-1252 bytes");

        pty.Write(Encoding.ASCII.GetBytes("polled text"));
        string polled = Poll(3000);
        CheckEqual("polled text", polled, "TarvelPortRead takes the waiting text");
        CheckEqual(polled, TarvelNative.Status(), "Status() reads the same text");
        TarvelEvent polledEvent = TarvelNative.NextEvent(0);
        Check(polledEvent != null && polledEvent.Kind == TarvelEventKind.PolledText &&
                  polledEvent.Text == "polled text",
              "the polled text is queued as a PolledText event: " + polledEvent);

        TarvelNative.TarvelCheckText(1);
        CheckEqual(" ", TarvelNative.Status(), "TarvelCheckText(1) blanks the status to one space");
        CheckEqual(" ", Marshal.PtrToStringUni(TarvelNative.TarvelCheckText(0)),
                   "the status pointer, read in place while no listener runs");
        CheckEqual(TarvelNative.Done, TarvelNative.TarvelPortClose(), "TarvelPortClose");
      }
    }

    // TarvelPortRead until it has taken something. No listener runs here, so
    // the text may be read in place through the pointer it returns.
    static string Poll(int timeoutMs) {
      DateTime end = DateTime.UtcNow.AddMilliseconds(timeoutMs);
      while (DateTime.UtcNow < end) {
        IntPtr status = TarvelNative.TarvelPortRead();
        string text = status == IntPtr.Zero ? null : Marshal.PtrToStringUni(status);
        if (text != "")
          return text;
        Thread.Sleep(50);
      }
      return "";
    }

    static void OpenFailureIsReported() {
      CheckEqual(TarvelNative.PortUnavailable, TarvelNative.TarvelPortOpen(8),
                 "TarvelPortOpen of a missing tty returns 1");
      string reason = TarvelNative.LastFailure();
      Check(reason != null && reason.Contains("COM8") && reason.Contains(MissingTty),
            "its last failure names the port and its device: " + reason);
      TarvelEvent failure = TarvelNative.NextEvent(0);
      Check(failure != null && failure.Kind == TarvelEventKind.Failure && failure.Text == reason,
            "the failure is queued with the same reason: " + failure);
      CheckEqual(null, TarvelNative.NextEvent(0), "no event is left");
    }
  }

}  // namespace Tarvel.Tests
