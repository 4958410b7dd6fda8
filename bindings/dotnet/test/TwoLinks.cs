// SPDX-License-Identifier: MIT
// Two Links in one process, each on a raw pty pair of its own with the test as
// the peer: settings made through Set, texts both ways, each link's status and
// events its own, and one link disposed while the other carries on.
using System;
using System.Threading;

namespace Tarvel.Tests {

  static class TwoLinks {
    const int Port = 7;

    public static void Run() {
      using (var firstPty = new PosixPty()) using (var secondPty = new PosixPty()) {
        var first = OpenOn(firstPty.SlavePath, "UTF-8");
        using (var second = OpenOn(secondPty.SlavePath, null)) {
          EachLinkWritesOnItsOwnPortInItsOwnCodePage(first, second, firstPty, secondPty);
          EachLinkHasItsOwnStatusAndEvents(first, second, secondPty);
          DisposingOneEndsItsWaitAndLeavesTheOther(first, second, secondPty);
        }
      }
      AFailedOpenIsReportedOnThatLinkAlone();
      AnUnknownSettingIsRefused();
    }

    // A link on port 7 whose device is `tty`, both links on the same number.
    static Link OpenOn(string tty, string codepage) {
      var link = new Link();
      link.Set("com" + Port, tty);
      if (codepage != null)
        link.Set("codepage", codepage);
      link.Open(Port);
      return link;
    }

    static void EachLinkWritesOnItsOwnPortInItsOwnCodePage(Link first, Link second,
                                                           PosixPty firstPty, PosixPty secondPty) {
      first.SendText("\u00e9 first");
      second.SendText("\u00e9 second");
      BindingTest.CheckEqual("C3-A9-20-66-69-72-73-74",
                             BitConverter.ToString(firstPty.ReadExactly(8, 3000)),
                             "the first link's text in its code page, UTF-8, on its own pty");
      BindingTest.CheckEqual("E9-20-73-65-63-6F-6E-64",
                             BitConverter.ToString(secondPty.ReadExactly(8, 3000)),
                             "the second link's text in the default Windows-1252 on its own pty");
    }

    static void EachLinkHasItsOwnStatusAndEvents(Link first, Link second, PosixPty secondPty) {
      secondPty.Write(System.Text.Encoding.ASCII.GetBytes("for the second"));
      BindingTest.CheckEqual("for the second", Poll(second, 3000),
                             "the second link's polled read takes its peer's text");
      BindingTest.CheckEqual("", first.Read(), "the first link's port has nothing waiting");
      BindingTest.CheckEqual("", first.Status(), "the first link's status is its own");
      BindingTest.CheckEqual(null, first.NextEvent(0), "the first link has no event");
      TarvelEvent polled = second.NextEvent(0);
      BindingTest.Check(polled != null && polled.Kind == TarvelEventKind.PolledText &&
                            polled.Text == "for the second" && polled.Peer == "",
                        "the second link's PolledText event, with no peer: " + polled);
    }

    static void DisposingOneEndsItsWaitAndLeavesTheOther(Link first, Link second,
                                                         PosixPty secondPty) {
      TarvelEvent taken = new TarvelEvent(TarvelEventKind.Failure, "not returned");
      var waiter = new Thread(() => { taken = first.NextEvent(-1);
    });
    waiter.Start();
    Thread.Sleep(300);
    first.Dispose();
    BindingTest.Check(waiter.Join(5000), "disposing a link ends a wait for its events");
    BindingTest.CheckEqual(null, taken, "the ended wait returns no event");
    bool refused = false;
    try {
      first.SendText("late");
    } catch (ObjectDisposedException) {
      refused = true;
    }
    BindingTest.Check(refused, "a disposed link refuses calls");
    second.SendText("still open");
    BindingTest.CheckEqual("still open",
                           System.Text.Encoding.ASCII.GetString(secondPty.ReadExactly(10, 3000)),
                           "the other link's port stays open");
  }

  static void AFailedOpenIsReportedOnThatLinkAlone() {
    using (var failing = new Link()) using (var bystander = new Link()) {
      failing.Set("com8", "/nonexistent/tarvel-tty");
      string reason = null;
      try {
        failing.Open(8);
      } catch (TarvelException error) {
        reason = error.Reason;
      }
      BindingTest.Check(reason != null && reason.Contains("COM8"),
                        "Open of a missing tty throws, naming the port: " + reason);
      TarvelEvent failure = failing.NextEvent(0);
      BindingTest.Check(
          failure != null && failure.Kind == TarvelEventKind.Failure && failure.Text == reason,
          "the failure is queued on that link with the same reason: " + failure);
      BindingTest.CheckEqual(null, bystander.NextEvent(0), "another link has no event");
    }
  }

  static void AnUnknownSettingIsRefused() {
    using (var link = new Link()) {
      string reason = null;
      try {
        link.Set("baud", "9600");
      } catch (TarvelException error) {
        reason = error.Reason;
      }
      BindingTest.Check(reason != null && reason.Contains("baud"),
                        "an unknown setting is refused with the reason: " + reason);
    }
  }

  // The link's polled read until it has taken something.
  static string Poll(Link link, int timeoutMs) {
    DateTime end = DateTime.UtcNow.AddMilliseconds(timeoutMs);
    while (DateTime.UtcNow < end) {
      string text = link.Read();
      if (text != "")
        return text;
      Thread.Sleep(50);
    }
    return "";
  }
}

}  // namespace Tarvel.Tests
