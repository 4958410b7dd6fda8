// SPDX-License-Identifier: MIT
// The peer device of the test host: processes of the tarvel command on the
// other end of a cable that `tarvel cable` makes.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Threading;

namespace Tarvel.Tests {

  sealed class TarvelProcess : IDisposable {
    readonly Process process_;
    readonly List<string> errorLines_ = new List<string>();
    readonly Thread errorReader_;

    // Starts `program arguments...` with standard output and error to read.
    public TarvelProcess(string program, params string[] arguments) {
      var start = new ProcessStartInfo(program, Quoted(arguments));
      start.UseShellExecute = false;
      start.RedirectStandardOutput = true;
      start.RedirectStandardError = true;
      process_ = Process.Start(start);
      errorReader_ = new Thread(ReadErrors);
      errorReader_.IsBackground = true;
      errorReader_.Start();
    }

    public string ReadOutputLine() { return process_.StandardOutput.ReadLine(); }

    // Waits until standard error has shown a line containing `text`.
    public bool WaitForError(string text, int timeoutMs) {
      DateTime end = DateTime.UtcNow.AddMilliseconds(timeoutMs);
      while (DateTime.UtcNow < end) {
        lock (errorLines_) {
          foreach (string line in errorLines_)
            if (line.Contains(text))
              return true;
        }
        Thread.Sleep(20);
      }
      return false;
    }

    // The exit status, or -1 when the process had not ended within `timeoutMs`.
    public int Wait(int timeoutMs) {
      if (!process_.WaitForExit(timeoutMs))
        return -1;
      return process_.ExitCode;
    }

    public string Errors() { lock (errorLines_) return string.Join("\n", errorLines_); }

    public void Dispose() {
      try {
        if (!process_.HasExited)
          process_.Kill();
        process_.WaitForExit(5000);
      } catch (InvalidOperationException) {
        // Ended already.
      }
      process_.Dispose();
    }

    // Runs the command to its end; its exit status, or -1 after `timeoutMs`.
    public static int Run(string program, int timeoutMs, params string[] arguments) {
      using (var process = new TarvelProcess(program, arguments)) {
        process.process_.StandardOutput.ReadToEnd();
        int status = process.Wait(timeoutMs);
        if (status != 0)
          Console.WriteLine("  tarvel " + string.Join(" ", arguments) + ": " + process.Errors());
        return status;
      }
    }

    void ReadErrors() {
      string line;
      while ((line = process_.StandardError.ReadLine()) != null) {
        lock (errorLines_) errorLines_.Add(line);
      }
    }

    static string Quoted(string[] arguments) {
      var quoted = new List<string>();
      foreach (string argument in arguments)
        quoted.Add("\"" + argument.Replace("\\", "\\\\").Replace("\"", "\\\"") + "\"");
      return string.Join(" ", quoted);
    }
  }

}  // namespace Tarvel.Tests
