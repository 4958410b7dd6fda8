// A Tarvel host in C#: sends one file to the peer on port N and prints every
// event until the file has gone, or nothing came for five seconds. With Mono:
//   cp /usr/share/tarvel/dotnet/Tarvel.cs /usr/share/tarvel/dotnet/Tarvel.dll.config .
//   mcs -out:Host.exe Host.cs Tarvel.cs && mv Tarvel.dll.config Host.exe.config
//   TARVEL_COM0=/dev/ttyUSB0 mono Host.exe 0 notes.txt
// Port N is the tty named by TARVEL_COM<N>, else /dev/rfcomm<N>.
using System;
using System.IO;
using Tarvel;

static class Host {
  static int Main(string[] args) {
    if (args.Length != 2) {
      Console.Error.WriteLine("usage: Host.exe PORT FILE");
      return 2;
    }
    if (TarvelNative.TarvelPortOpen(int.Parse(args[0])) != TarvelNative.Done) {
      Console.Error.WriteLine("cannot open the port: " + TarvelNative.LastFailure());
      return 1;
    }
    TarvelNative.TarvelServer();  // receives what the peer sends, answers its requests
    TarvelNative.TarvelSendFile(args[1], "\\" + Path.GetFileName(args[1]));
    int status = 0;
    for (TarvelEvent e; (e = TarvelNative.NextEvent(5000)) != null;) {
      Console.WriteLine(e.Kind + " " + e.Text);
      if (e.Kind == TarvelEventKind.Failure) status = 1;
      if (e.Kind == TarvelEventKind.Sent || e.Kind == TarvelEventKind.Failure) break;
    }
    TarvelNative.TarvelPortClose();
    return status;
  }
}
