// SPDX-License-Identifier: MIT
// A Windows host of tarvel.dll for the test across systems: one job per run,
// through the C interface alone, with wide text as wchar_t.
//
//   windows_host PORT listen               status lines until standard input ends
//   windows_host PORT send LOCAL REMOTE
//   windows_host PORT get SAVE REMOTE      waits for the file, 30 s at most
//   windows_host PORT list PATTERN
//   windows_host PORT text MESSAGE
//
// Status lines go to standard output in UTF-8; the exit status is 0 when the
// job is done.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tarvel.h"

namespace {

std::wstring Status() {
  wchar_t buffer[2000];
  TarvelStatusCopy(buffer, 2000);
  return buffer;
}

void Print(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string line(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, line.data(), size, nullptr, nullptr);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Prints every new status until standard input ends.
int Listen() {
  std::thread printer([] {
    std::wstring shown = Status();
    for (;;) {
      std::wstring now = Status();
      if (now != shown) Print(shown = now);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  printer.detach();
  while (std::getchar() != EOF) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last status
  return 0;
}

int WaitForReceived() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (StartsWith(Status(), L"RECV: ") || StartsWith(Status(), L"FAIL: ")) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Print(Status());
  return StartsWith(Status(), L"RECV: ") ? 0 : 1;
}

int Run(int port, const std::wstring& job, int argc, wchar_t** argv) {
  if (TarvelPortOpen(port) != TARVEL_DONE) {
    Print(Status());
    return 1;
  }
  if (job == L"listen" && argc == 0) {
    TarvelServer();
    return Listen();
  }
  if (job == L"send" && argc == 2) {
    TarvelSendFile(argv[0], argv[1]);
    Print(Status());
    return StartsWith(Status(), L"SENT: ") ? 0 : 1;
  }
  if (job == L"get" && argc == 2) {
    TarvelServer();
    TarvelGetFile(argv[0], argv[1]);
    return WaitForReceived();
  }
  if (job == L"list" && argc == 1) {
    TarvelListFiles(argv[0]);
  } else if (job == L"text" && argc == 1) {
    TarvelPortSend(argv[0]);
  } else {
    std::fprintf(stderr, "unknown job\n");
    return 2;
  }
  // The request is written; stay a moment so the port is not closed under it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return StartsWith(Status(), L"FAIL: ") ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: windows_host PORT JOB [ARGUMENT...]\n");
    return 2;
  }
  int status = Run(std::stoi(argv[1]), argv[2], argc - 3, argv + 3);
  TarvelPortClose();
  std::fflush(stdout);
  // The listener thread runs until the process ends.
  ExitProcess(static_cast<UINT>(status));
}
