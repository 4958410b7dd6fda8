// The line protocol between `tarvel demo` and its two device processes
// (`tarvel agent`). One request per line, fields separated by tabs:
//   reset                 drop the results so far, so that the next one shows
//   text MESSAGE          TarvelPortSend
//   send LOCAL REMOTE     TarvelSendFile
//   get LOCAL REMOTE      TarvelGetFile
//   list PATTERN          TarvelListFiles
//   wait MILLISECONDS     wait for the next result (idle limit); its reply is
//                         "ok SHOWN KIND", KIND "text" for a peer's text,
//                         "answer" for the answer to the agent's get request,
//                         else "result"; SHOWN as "RECV: <path>" and the like
// The agent starts with "ready" (or "fail"). While a transfer runs it writes
// "progress DONE TOTAL" and "progress-end complete|short" lines; each request ends with
// "ok [SHOWN [KIND]]" or "fail REASON".
#pragma once

#include <string>
#include <vector>

namespace tarvel_cli {

// Tabs, line ends and backslashes inside a field are escaped.
std::string JoinFields(const std::vector<std::string>& fields);
std::vector<std::string> SplitFields(const std::string& line);

}  // namespace tarvel_cli
