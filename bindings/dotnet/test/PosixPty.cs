// SPDX-License-Identifier: MIT
// A pseudo-terminal pair for the test host, through libc: the library opens
// the slave as its port, and the test reads and writes the raw bytes on the
// master, playing the peer.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Tarvel.Tests {

  sealed class PosixPty : IDisposable {
    const int ReadWrite = 2;   // O_RDWR
    const int NoCtty = 0x100;  // O_NOCTTY
    const short PollIn = 1;    // POLLIN

    [StructLayout(LayoutKind.Sequential)]
    struct PollFd {
      public int fd;
      public short events;
      public short revents;
    }

    [DllImport("libc", SetLastError = true)]
    static extern int posix_openpt(int flags);
    [DllImport("libc", SetLastError = true)]
    static extern int grantpt(int fd);
    [DllImport("libc", SetLastError = true)]
    static extern int unlockpt(int fd);
    [DllImport("libc", SetLastError = true)]
    static extern int ptsname_r(int fd, byte[] name, IntPtr length);
    [DllImport("libc", SetLastError = true)]
    static extern IntPtr read(int fd, byte[] buffer, IntPtr count);
    [DllImport("libc", SetLastError = true)]
    static extern IntPtr write(int fd, byte[] buffer, IntPtr count);
    [DllImport("libc", SetLastError = true)]
    static extern int poll([In, Out] PollFd[] fds, uint count, int timeoutMs);
    [DllImport("libc")]
    static extern int close(int fd);
    [DllImport("libc", CharSet = CharSet.Ansi)]
    static extern IntPtr realpath(string path, IntPtr resolved);
    [DllImport("libc")]
    static extern void free(IntPtr pointer);
    [DllImport("libc", CharSet = CharSet.Ansi)]
    static extern int setenv(string name, string value, int overwrite);

    int master_;

    public string SlavePath { get; private set; }

    public PosixPty() {
      master_ = posix_openpt(ReadWrite | NoCtty);
      if (master_ < 0)
        throw new InvalidOperationException("posix_openpt: " + Errno());
      byte[] name = new byte[128];
      if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
          ptsname_r(master_, name, (IntPtr)name.Length) != 0) {
        int error = Marshal.GetLastWin32Error();
        close(master_);
        throw new InvalidOperationException("pty slave: errno " + error);
      }
      SlavePath = Encoding.ASCII.GetString(name, 0, Array.IndexOf(name, (byte)0));
    }

    // The process's real environment, which the library reads when it opens a
    // port (Environment.SetEnvironmentVariable need not reach it on every runtime).
    public static void SetEnvironment(string name, string value) {
      if (setenv(name, value, 1) != 0)
        throw new InvalidOperationException("setenv " + name);
    }

    // The path with every symbolic link resolved, or null when it does not exist.
    public static string RealPath(string path) {
      if (path == null)
        return null;
      IntPtr resolved = realpath(path, IntPtr.Zero);
      if (resolved == IntPtr.Zero)
        return null;
      string text = Marshal.PtrToStringAnsi(resolved);
      free(resolved);
      return text;
    }

    public void Write(byte[] bytes) {
      if ((long)write(master_, bytes, (IntPtr)bytes.Length) != bytes.Length)
        throw new InvalidOperationException("write to the pty master: " + Errno());
    }

    // Reads until `count` bytes have arrived or `timeoutMs` has passed.
    public byte[] ReadExactly(int count, int timeoutMs) {
      byte[] got = new byte[count];
      int have = 0;
      DateTime end = DateTime.UtcNow.AddMilliseconds(timeoutMs);
      while (have < count) {
        int left = (int)(end - DateTime.UtcNow).TotalMilliseconds;
        if (left <= 0)
          break;
        PollFd[] fds = { new PollFd { fd = master_, events = PollIn } };
        if (poll(fds, 1, left) <= 0)
          break;
        byte[] chunk = new byte[count - have];
        long n = (long)read(master_, chunk, (IntPtr)chunk.Length);
        if (n <= 0)
          break;
        Array.Copy(chunk, 0, got, have, (int)n);
        have += (int)n;
      }
      Array.Resize(ref got, have);
      return got;
    }

    public void Dispose() {
      if (master_ >= 0)
        close(master_);
      master_ = -1;
    }

    static string Errno() { return "errno " + Marshal.GetLastWin32Error(); }
  }

}  // namespace Tarvel.Tests
