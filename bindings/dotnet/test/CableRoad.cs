// SPDX-License-Identifier: MIT
// The host's road over a cable to the tarvel command, on a Link with its
// settings made through Set: a file sent with its progress watched, a listing
// asked for, a get saved under a path of the host's, then a text and a file
// pushed by the peer, every result taken from the link's event queue in the
// order it came.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Threading;

namespace Tarvel.Tests {

  sealed class CableRoad {
    const int Port = 7;
    const int FileSize = 2 * 1024 * 1024;
    const int WaitMs = 15000;

    readonly string program_;
    readonly string rootA_, rootB_, work_;
    readonly List<TarvelEvent> seen_ = new List<TarvelEvent>();
    Link link_;

    public CableRoad(string program, string work) {
      program_ = program;
      work_ = work;
      rootA_ = Path.Combine(work, "rootA");
      rootB_ = Path.Combine(work, "rootB");
      Directory.CreateDirectory(rootA_);
      Directory.CreateDirectory(rootB_);
    }

    public void Run() {
      using (var cable = new TarvelProcess(program_, "cable")) {
        string endA = cable.ReadOutputLine(), endB = cable.ReadOutputLine();
        BindingTest.Check(endA != null && endB != null, "tarvel cable prints its two ends");
        if (endA == null || endB == null)
          return;
        using (link_ = new Link()) {
          link_.Set("com" + Port, endA);
          link_.Set("root", rootA_);
          link_.Open(Port);
          link_.Serve();
          Road(endB);
        }
      }
    }

    void Road(string endB) {
      using (var listener =
                 new TarvelProcess(program_, "--device", endB, "--root", rootB_, "listen")) {
        BindingTest.Check(listener.WaitForError("listening on", WaitMs),
                          "the peer's tarvel listen is listening");
        SendWithProgress();
        AskForAListing();
        GetWithASavePath();
      }
      PeerPushesTextAndFile(endB);
      BindingTest.CheckEqual("Sent Answer PeerText Received",
                             string.Join(" ", seen_.Select(e => e.Kind.ToString()).ToArray()),
                             "the events came in order, and no others");
      BindingTest.Check(seen_.All(e => e.Peer == ""),
                        "the events of a serial line concern no Bluetooth peer");
    }

    void SendWithProgress() {
      string local = Path.Combine(work_, "outgoing.bin");
      byte[] content = new byte[FileSize];
      new Random(15).NextBytes(content);
      File.WriteAllBytes(local, content);

      var samples = new List<long[]>();
      bool sending = true;
    var sampler = new Thread(() => {
      while (Volatile.Read(ref sending)) {
        long done, total;
    int active = link_.Progress(out done, out total) ? 1 : 0;
    samples.Add(new long[] { active, done, total });
    Thread.Sleep(1);
    }
  });
  sampler.Start();
  string failure = null;
  try {
    link_.SendFile(local, "\\sent.bin");
  } catch (TarvelException error) {
    failure = error.Reason;
  }
  Volatile.Write(ref sending, false);
  sampler.Join();

  BindingTest.CheckEqual(null, failure, "SendFile did not fail");
  BindingTest.CheckEqual("SENT: " + local, link_.Status(), "the status read through Status()");
  TarvelEvent sent = WaitFor(TarvelEventKind.Sent);
  BindingTest.CheckEqual(local, sent == null ? null : sent.Text,
                         "a Sent event with the local path");
  CheckProgress(samples);
  BindingTest.Check(WaitForFile(Path.Combine(rootB_, "sent.bin"), content),
                    "the peer saved the file intact");
}

void CheckProgress(List<long[]> samples) {
  var active = samples.Where(s => s[0] == 1).ToList();
  BindingTest.Check(
      active.Count > 0 && active.All(s => s[2] == FileSize),
      "TarvelProgress during the send announces the file's size (" + active.Count + " samples)");
  BindingTest.Check(active.Any(s => s[1] > 0 && s[1] < FileSize),
                    "TarvelProgress shows the transfer part done");
  bool ordered = true;
  for (int i = 1; i < active.Count; i++) ordered &= active[i][1] >= active[i - 1][1];
  BindingTest.Check(ordered && active.All(s => s[1] <= s[2]),
                    "the bytes done only grow, and never pass the total");
  long done, total;
  bool after = link_.Progress(out done, out total);
  BindingTest.Check(!after && done == 0 && total == 0,
                    "no transfer in progress once SendFile has returned");
}

void AskForAListing() {
  File.WriteAllText(Path.Combine(rootB_, "offer.txt"), "offered by B\n");
  link_.ListFiles("\\*.*");
  string listing = Path.Combine(rootB_, "Tarvel.txt");
  DateTime end = DateTime.UtcNow.AddMilliseconds(WaitMs);
  while (DateTime.UtcNow < end && !(File.Exists(listing) && ReadAll(listing).Contains("offer.txt")))
    Thread.Sleep(50);
  BindingTest.Check(File.Exists(listing) && ReadAll(listing).Contains("offer.txt"),
                    "the peer wrote the listing into its \\Tarvel.txt");
}

void GetWithASavePath() {
  string saveDir = Path.Combine(work_, "saved");
  Directory.CreateDirectory(saveDir);
  string savePath = Path.Combine(saveDir, "offer-copy.txt");
  link_.GetFile(savePath, "\\offer.txt");
  TarvelEvent answer = WaitFor(TarvelEventKind.Answer);
  BindingTest.CheckEqual(savePath, answer == null ? null : answer.Text,
                         "the listener saved the answer at the save path");
  BindingTest.CheckEqual("offered by B\n", File.Exists(savePath) ? ReadAll(savePath) : null,
                         "the saved file's content");
}

void PeerPushesTextAndFile(string endB) {
  const string text = "Gr\u00fc\u00dfe von B";
  BindingTest.CheckEqual(
      0, TarvelProcess.Run(program_, WaitMs, "-q", "--device", endB, "text", text), "tarvel text");
  TarvelEvent peerText = WaitFor(TarvelEventKind.PeerText);
  BindingTest.CheckEqual(text, peerText == null ? null : peerText.Text,
                         "the peer's text arrives as a PeerText event");

  string pushed = Path.Combine(rootB_, "pushed.txt");
  File.WriteAllText(pushed, "pushed by B\n");
  BindingTest.CheckEqual(0,
                         TarvelProcess.Run(program_, WaitMs, "-q", "--device", endB, "--root",
                                           rootB_, "send", pushed, "\\pushed.txt"),
                         "tarvel send");
  TarvelEvent received = WaitFor(TarvelEventKind.Received);
  BindingTest.Check(received != null && received.Text.EndsWith("pushed.txt"),
                    "the listener reports the pushed file: " + received);
  string arrived = Path.Combine(rootA_, "pushed.txt");
  BindingTest.CheckEqual("pushed by B\n", File.Exists(arrived) ? ReadAll(arrived) : null,
                         "the pushed file landed beneath the host's root");
}

// Takes events as they come until one of `kind`; every one taken is kept.
TarvelEvent WaitFor(TarvelEventKind kind) {
  DateTime end = DateTime.UtcNow.AddMilliseconds(WaitMs);
  while (DateTime.UtcNow < end) {
    TarvelEvent next = link_.NextEvent(200);
    if (next == null)
      continue;
    seen_.Add(next);
    if (next.Kind == kind)
      return next;
    Console.WriteLine("  (while waiting for " + kind + ": " + next + ")");
  }
  return null;
}

static bool WaitForFile(string path, byte[] content) {
  DateTime end = DateTime.UtcNow.AddMilliseconds(WaitMs);
  while (DateTime.UtcNow < end) {
    if (File.Exists(path) && new FileInfo(path).Length == content.Length)
      return File.ReadAllBytes(path).SequenceEqual(content);
    Thread.Sleep(50);
  }
  return false;
}

static string ReadAll(string path) {
  using (var stream = new FileStream(
             path, FileMode.Open, FileAccess.Read,
             FileShare.ReadWrite)) using (var reader =
                                              new StreamReader(stream)) return reader.ReadToEnd();
}
}

}  // namespace Tarvel.Tests
