// Helper process for the mailslot and message-window tests. Commands:
//   write SLOT WRITER COUNT     writes COUNT messages of mixed sizes (see MessageFor) and exits
//   serve SLOT                  holds the mailslot's server end; "ready" on stdout, then blocks
//   window CLASS                makes a window; prints "ready HWND", then prints every message
//                               it gets as "MSG WPARAM LPARAM" until WM_CLOSE
//   post CLASS NAME COUNT       posts COUNT messages NAME (registered) to the window of CLASS
//   register NAME...            prints the registered ids of the names, one a line
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "message_testing.h"
#include "winport/error.h"
#include "winport/file.h"
#include "winport/handle.h"
#include "winport/mailslot.h"
#include "winport/message.h"
#include "winport/window.h"

using namespace winport;

namespace {

int Write(const char* slot, std::uint32_t writer, std::uint32_t count) {
  HANDLE h = CreateFileA(slot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "open %s: %u\n", slot, GetLastError());
    return 1;
  }
  for (std::uint32_t seq = 0; seq < count; ++seq) {
    auto m = winport::testing::MessageFor(writer, seq);
    DWORD written = 0;
    if (!WriteFile(h, m.data(), static_cast<DWORD>(m.size()), &written, nullptr) ||
        written != m.size()) {
      std::fprintf(stderr, "write %u: %u\n", seq, GetLastError());
      return 1;
    }
  }
  CloseHandle(h);
  return 0;
}

int Serve(const char* slot) {
  HANDLE h = CreateMailslotA(slot, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("failed %u\n", GetLastError());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}

int Window(const char* className) {
  HWND w = CreateMessageWindow(className);
  if (!w) {
    std::printf("failed %u\n", GetLastError());
    return 1;
  }
  std::printf("ready %" PRIxPTR "\n", reinterpret_cast<std::uintptr_t>(w));
  std::fflush(stdout);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd != w) std::printf("wrong window\n");
    std::printf("%u %" PRIuPTR " %" PRIdPTR "\n", msg.message, msg.wParam, msg.lParam);
    if (msg.message == WM_CLOSE) break;
  }
  std::fflush(stdout);
  return 0;
}

int Post(const char* className, const char* name, int count) {
  HWND w = FindWindowA(className, nullptr);
  UINT id = RegisterWindowMessageA(name);
  if (!w || !id) return 1;
  for (int i = 0; i < count; ++i)
    if (!PostMessageA(w, id, static_cast<WPARAM>(i), -static_cast<LPARAM>(i))) return 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "write" && argc == 5)
    return Write(argv[2], static_cast<std::uint32_t>(std::atoi(argv[3])),
                 static_cast<std::uint32_t>(std::atoi(argv[4])));
  if (cmd == "serve" && argc == 3) return Serve(argv[2]);
  if (cmd == "window" && argc == 3) return Window(argv[2]);
  if (cmd == "post" && argc == 5) return Post(argv[2], argv[3], std::atoi(argv[4]));
  if (cmd == "register") {
    for (int i = 2; i < argc; ++i) std::printf("%u\n", RegisterWindowMessageA(argv[i]));
    return 0;
  }
  std::fprintf(stderr, "usage: see the source\n");
  return 2;
}
