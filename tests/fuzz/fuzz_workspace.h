// SPDX-License-Identifier: MIT
// The stream target's folders: a device root and, beside it, a canary tree
// that nothing the peer says may change. The root holds a known file and a
// symbolic link into the canary, the way a careless user might leave one.
#pragma once

#include <map>
#include <string>

namespace tarvel::fuzz {

class Workspace {
 public:
  Workspace();   // made once per process, under the temporary folder
  ~Workspace();  // removes everything

  const std::string& root() const { return root_; }
  const std::string& top() const { return top_; }

  // Empties the root and puts the seed entries back.
  void ResetRoot();

  // Everything beneath the top folder except the root's own content, as
  // "relative path" -> "type and content", so that any change shows.
  std::map<std::string, std::string> OutsideRoot() const;

  // The seed file in the root and its content.
  static constexpr const char* kKnownFile = "have.txt";
  static std::string KnownContent();

 private:
  std::string top_;
  std::string root_;
};

}  // namespace tarvel::fuzz
