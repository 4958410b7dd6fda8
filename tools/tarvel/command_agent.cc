// SPDX-License-Identifier: MIT
// tarvel agent (hidden): one device of the demo. It opens its port, runs the
// listener, and carries out the requests of agent_protocol.h read from its
// standard input, answering on its standard output.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>

#include "agent_protocol.h"
#include "command_link.h"
#include "commands.h"
#include "event_watch.h"
#include "link_session.h"
#include "platform/mutex.h"
#include "progress_watch.h"
#include "tarvel.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

// Replies and progress lines come from two threads during a send.
tarvel::Mutex outputLock;

void Reply(const std::vector<std::string>& fields) {
  tarvel::MutexLock hold(outputLock);
  std::string line = JoinFields(fields) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// Passes the transfer's progress to the demo, at most ten times a second.
class ProgressLines : public ProgressSink {
 public:
  void Update(long long done, long long total) override {
    auto now = std::chrono::steady_clock::now();
    if (now - sent_ < std::chrono::milliseconds(100) && done < total) return;
    sent_ = now;
    Reply({"progress", std::to_string(done), std::to_string(total)});
  }
  void End(TransferEnd how) override {
    Reply({"progress-end", how == TransferEnd::Complete ? "complete" : "short"});
  }

 private:
  std::chrono::steady_clock::time_point sent_;
};

// The reply to a call whose result is only a possible failure, read at once
// after the call.
std::vector<std::string> OutcomeReply() {
  if (std::optional<std::string> reason = CallFailure()) return {"fail", *reason};
  return {"ok"};
}

// The reply to an event: how it shows (a peer's text as it came), and its kind.
std::vector<std::string> EventReply(const LinkEvent& event) {
  if (event.kind == TARVEL_EVENT_PEER_TEXT) return {"ok", event.text, "text"};
  if (event.kind == TARVEL_EVENT_ANSWER) return {"ok", Describe(event), "answer"};
  return {"ok", Describe(event), "result"};
}

class Agent {
 public:
  // The demo runs its agents quiet: a notice would have no one to read it.
  Agent() : watcher_(progress_, false) {}

  std::vector<std::string> Handle(const std::vector<std::string>& request) {
    const std::string& verb = request[0];
    size_t arguments = request.size() - 1;
    if (verb == "wait" && arguments == 1) return Wait(std::stoll(request[1]));
    if (verb == "reset" && arguments == 0) {
      watcher_.Discard();
      return {"ok"};
    }
    if (verb == "send" && arguments == 2) return Send(request[1], request[2]);
    if (verb == "text" && arguments == 1) {
      TarvelLinkPortSend(CommandLink(), Utf8ToWide(request[1]).c_str());
    } else if (verb == "get" && arguments == 2) {
      TarvelLinkGetFile(CommandLink(), Utf8ToWide(request[1]).c_str(),
                        Utf8ToWide(request[2]).c_str());
    } else if (verb == "list" && arguments == 1) {
      TarvelLinkListFiles(CommandLink(), Utf8ToWide(request[1]).c_str());
    } else {
      return {"fail", "unknown request " + verb};
    }
    return OutcomeReply();
  }

 private:
  std::vector<std::string> Send(const std::string& local, const std::string& remote) {
    BackgroundProgress shown(progress_);
    TarvelLinkSendFile(CommandLink(), Utf8ToWide(local).c_str(), Utf8ToWide(remote).c_str());
    std::optional<std::string> reason = CallFailure();
    shown.End(reason ? TransferEnd::Short : TransferEnd::Complete);
    if (reason) return {"fail", *reason};
    return {"ok", "SENT: " + local};
  }

  std::vector<std::string> Wait(long long milliseconds) {
    LinkEvent event;
    switch (watcher_.Next(std::chrono::milliseconds(milliseconds), &event)) {
      case WaitEnd::Event:
        return EventReply(event);
      case WaitEnd::TimedOut:
        return {"fail", "nothing new within " + std::to_string(milliseconds) + " ms"};
      case WaitEnd::Stopped:
        break;
    }
    return {"fail", "stopped"};
  }

  ProgressLines progress_;
  EventWatcher watcher_;
};

int RunAgent(const CommonOptions& options) {
  // The demo cleans up; an agent simply ends when told to or when the demo ends.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  if (!OpenLink(options)) {
    Reply({"fail", "cannot open " + DescribePort(options)});
    return 1;
  }
  TarvelLinkServer(CommandLink());
  Agent agent;
  Reply({"ready", DescribePort(options)});
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::string> request = SplitFields(line);
    if (request[0] == "quit") break;
    try {
      Reply(agent.Handle(request));
    } catch (const std::exception& error) {  // a malformed number
      Reply({"fail", error.what()});
    }
  }
  TarvelLinkPortClose(CommandLink());
  return 0;
}

}  // namespace

void AddAgentCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command = app.add_subcommand("agent", "one device of the demo, driven through stdin");
  command->group("");  // hidden from --help
  commands.push_back({command, [&options] { return RunAgent(options); }});
}

}  // namespace tarvel_cli
