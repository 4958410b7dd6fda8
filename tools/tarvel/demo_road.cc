#include "demo_road.h"

#include <cstdio>

#include "demo_files.h"
#include "terminal_text.h"

namespace tarvel_cli {
namespace {

constexpr auto kReplyLimit = std::chrono::seconds(10);
// The device's own wait is an idle limit that a moving transfer extends; the
// demo's limit on the whole reply only catches a device that hangs.
constexpr auto kWaitReplyMargin = std::chrono::seconds(120);

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

std::string WithThousands(long long value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

void Say(const std::string& line) {
  std::printf("%s\n", Shown(line).c_str());
  std::fflush(stdout);
}

}  // namespace

DemoRoad::DemoRoad(DeviceProcess& a, DeviceProcess& b, DemoPlan plan)
    : a_(a),
      b_(b),
      plan_(std::move(plan)),
      bigFileProgress_("   A -> B", std::chrono::milliseconds(0)) {}

bool DemoRoad::Fail(const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "tarvel demo: %s\n", Shown(why).c_str());
  return false;
}

bool DemoRoad::Ask(DeviceProcess& device, const std::vector<std::string>& request) {
  AgentReply reply = device.Ask(request, noProgress_, kReplyLimit);
  if (!reply.ok) return Fail("device " + device.name() + ", " + request[0] + ": " + reply.text);
  return true;
}

// Waits for the next result of `device`, which must show as `status`; a peer's
// text is never taken for a result, nor a result for a text.
bool DemoRoad::Expect(DeviceProcess& device, const std::string& status, std::chrono::seconds limit,
                      const std::string& kind) {
  std::string milliseconds = std::to_string(std::chrono::milliseconds(limit).count());
  AgentReply reply = device.Ask({"wait", milliseconds}, noProgress_, limit + kWaitReplyMargin);
  if (!reply.ok)
    return Fail("device " + device.name() + " waiting for " + status + ": " + reply.text);
  if (reply.text != status || reply.kind != kind) {
    return Fail("device " + device.name() + " shows " + Quoted(reply.text) + " instead of " +
                Quoted(status));
  }
  Say("   " + device.name() + ": " + reply.text);
  return true;
}

bool DemoRoad::Text(DeviceProcess& from, DeviceProcess& to, const std::string& message) {
  Say(from.name() + " -> " + to.name() + "  text " + Quoted(message));
  return Ask(to, {"reset"}) && Ask(from, {"text", message}) &&
         Expect(to, message, std::chrono::seconds(5), "text");
}

bool DemoRoad::SendBigFile() {
  std::string local = plan_.rootA + "/big.bin";
  Say("A -> B  big.bin, " + FormatBytes(plan_.bigFileSize) + " of random bytes, sent as \\big.bin");
  if (!Ask(b_, {"reset"})) return false;
  AgentReply sent = a_.Ask({"send", local, "\\big.bin"}, bigFileProgress_, kWaitReplyMargin);
  bigFileProgress_.End(sent.ok ? TransferEnd::Complete : TransferEnd::Short);
  if (!sent.ok) return Fail("device A, send: " + sent.text);
  Say("   A: " + sent.text);
  crossings_.push_back({"big.bin", "A -> B", local, plan_.rootB + "/big.bin"});
  return Expect(b_, "RECV: \\big.bin", std::chrono::seconds(10));
}

bool DemoRoad::FetchNotes() {
  std::string save = plan_.rootA + "/notes-from-B.txt";
  Say("A <- B  A asks B for \\notes.txt, to be saved as notes-from-B.txt");
  crossings_.push_back({"notes.txt", "B -> A", plan_.rootB + "/notes.txt", save});
  return Ask(a_, {"reset"}) && Ask(b_, {"reset"}) && Ask(a_, {"get", save, "\\notes.txt"}) &&
         Expect(a_, "RECV: " + save, std::chrono::seconds(10), "answer") &&
         Expect(b_, "FILE: \\notes.txt", std::chrono::seconds(5));
}

bool DemoRoad::FetchListing() {
  std::string save = plan_.rootA + "/listing-from-B.txt";
  Say("A <- B  A asks B to list \\*.* into its \\Tarvel.txt, then fetches that file");
  // B reads one message per poll: the get request goes only once B has
  // handled the list request.
  bool listed = Ask(a_, {"reset"}) && Ask(b_, {"reset"}) && Ask(a_, {"list", "\\*.*"}) &&
                Expect(b_, "LIST: \\*.*", std::chrono::seconds(5));
  crossings_.push_back({"Tarvel.txt", "B -> A", plan_.rootB + "/Tarvel.txt", save});
  bool fetched = listed && Ask(b_, {"reset"}) && Ask(a_, {"get", save, "\\Tarvel.txt"}) &&
                 Expect(a_, "RECV: " + save, std::chrono::seconds(10), "answer") &&
                 Expect(b_, "FILE: \\Tarvel.txt", std::chrono::seconds(5));
  if (!fetched) return false;
  Say("   B's listing, as A received it:");
  std::string line;
  for (char c : ReadWholeFile(save)) {
    if (c == '\n') {
      Say("   | " + line);
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  return true;
}

bool DemoRoad::Walk() {
  return Text(a_, b_, "Hello B, this is A.") && Text(b_, a_, "Hello A, B here. Got your text.") &&
         SendBigFile() && FetchNotes() && FetchListing();
}

bool DemoRoad::Verify() {
  Say("Comparing every file byte for byte:");
  long long bytes = 0;
  std::vector<std::string> differing;
  for (const Crossing& file : crossings_) {
    std::optional<std::string> difference = CompareFiles(file.original, file.copy);
    long long size = FileSize(file.original);
    char line[256];
    std::snprintf(line, sizeof line, "   %-11s %s %12s bytes  %s", file.name.c_str(),
                  file.direction.c_str(), WithThousands(size).c_str(),
                  difference ? difference->c_str() : "intact");
    Say(line);
    if (difference) {
      differing.push_back(file.name + " (" + *difference + ")");
    } else {
      bytes += size;
    }
  }
  if (differing.empty()) {
    Say("All " + std::to_string(crossings_.size()) + " files arrived intact (" +
        WithThousands(bytes) + " bytes).");
    return true;
  }
  std::string list;
  for (const std::string& name : differing) list += (list.empty() ? "" : ", ") + name;
  Say(std::to_string(differing.size()) + " of " + std::to_string(crossings_.size()) +
      " files differ: " + list + ".");
  return false;
}

}  // namespace tarvel_cli
