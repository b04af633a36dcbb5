// tracecap [-g] [-p] [seconds]: prints every debug-output line of the session on stdout, one
// per line ("pid: text" with -p), for the given number of seconds or until Ctrl+C, console close
// or kill. -g listens on the global channel instead, where a Windows service writes from
// session 0; that needs an administrator prompt. "tracecap: ready" on stderr means capture is
// armed: lines written after it are caught.
// Exit status 0 after a normal end, 1 when the channel cannot be taken, 2 on a usage error.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>

#include "dbwin.h"

namespace {

HANDLE g_quit = nullptr;

BOOL WINAPI on_console_event(DWORD) {
  SetEvent(g_quit);
  return TRUE;
}

struct Options {
  bool global = false;
  bool pid = false;
  DWORD timeout_ms = INFINITE;
};

bool parse_seconds(const wchar_t *text, DWORD *timeout_ms) {
  wchar_t *end = nullptr;
  const unsigned long seconds = std::wcstoul(text, &end, 10);
  // Below INFINITE once in milliseconds; a day and more is no test run anyway.
  if (*text < L'0' || *text > L'9' || *end != L'\0' || seconds > 4000000) return false;
  *timeout_ms = static_cast<DWORD>(seconds * 1000);
  return true;
}

bool parse(int argc, wchar_t **argv, Options *options) {
  int i = 1;
  if (i < argc && std::wcscmp(argv[i], L"-g") == 0) {
    options->global = true;
    ++i;
  }
  if (i < argc && std::wcscmp(argv[i], L"-p") == 0) {
    options->pid = true;
    ++i;
  }
  if (i < argc && !parse_seconds(argv[i++], &options->timeout_ms)) return false;
  return i == argc;
}

void print(const DbwinLine &line, bool with_pid) {
  if (with_pid) std::printf("%lu: ", static_cast<unsigned long>(line.pid));
  std::fwrite(line.text.data(), 1, line.text.size(), stdout);
  std::fputc('\n', stdout);
  // A test reading the pipe or file must see each line as it comes.
  std::fflush(stdout);
}

struct EventHandle {
  HANDLE h;
  explicit EventHandle(HANDLE from) : h(from) {}
  ~EventHandle() {
    if (h != nullptr) CloseHandle(h);
  }
  EventHandle(const EventHandle &) = delete;
  EventHandle &operator=(const EventHandle &) = delete;
};

}  // namespace

int wmain(int argc, wchar_t **argv) {
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fputs("usage: tracecap [-g] [-p] [seconds]\n", stderr);
    return 2;
  }
  // Plain LF lines and the bytes as written, whatever reads them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);

  EventHandle quit{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  if (quit.h == nullptr) return 1;
  g_quit = quit.h;
  SetConsoleCtrlHandler(on_console_event, TRUE);

  DbwinCapture capture([&options](const DbwinLine &line) { print(line, options.pid); },
                       options.global);
  if (!capture.armed()) {
    if (capture.error() == ERROR_ALREADY_EXISTS) {
      std::fputs("tracecap: another capture program holds the debug-output channel\n", stderr);
    } else {
      std::fprintf(stderr, "tracecap: cannot create the DBWIN objects (error %lu)\n",
                   static_cast<unsigned long>(capture.error()));
    }
    return 1;
  }
  std::fputs("tracecap: ready\n", stderr);
  std::fflush(stderr);

  WaitForSingleObject(quit.h, options.timeout_ms);
  capture.stop();
  SetConsoleCtrlHandler(on_console_event, FALSE);
  return 0;
}
