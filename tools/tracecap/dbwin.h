// Receives the debug-output channel of this session (under Wine: this prefix): while a
// DbwinCapture is armed, every OutputDebugString text of every process in the session arrives,
// in the order written, on a thread of the capture's own. Only one capturer can be armed per
// session, so arming fails while any other program holds the channel.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <thread>

// The text is the writer's bytes in its ANSI code page, as the channel carries them:
// OutputDebugStringW converts before it writes, and nothing here converts back.
struct DbwinLine {
  DWORD pid;
  std::string text;
};

// Called on the capture thread, one line at a time; the writer is already released, so a slow
// sink delays later writers but never loses a line.
using DbwinSink = std::function<void(const DbwinLine &line)>;

class DbwinCapture {
 public:
  // Arms at once. On failure armed() is false, error() tells why and the sink is never called.
  // `global` takes the Global\ objects instead: on Windows a service writes there from
  // session 0, and creating them needs an administrator.
  explicit DbwinCapture(DbwinSink sink, bool global = false);
  ~DbwinCapture();
  DbwinCapture(const DbwinCapture &) = delete;
  DbwinCapture &operator=(const DbwinCapture &) = delete;

  bool armed() const { return thread_.joinable(); }
  // ERROR_ALREADY_EXISTS when another capturer holds the channel, else the failing call's code.
  DWORD error() const { return error_; }
  // Returns once the last line is through the sink and the channel is free for others.
  void stop();

 private:
  bool create_objects(const wchar_t *prefix);
  void close_objects();
  void receive();

  DbwinSink sink_;
  DWORD error_ = NO_ERROR;
  HANDLE mapping_ = nullptr;
  const char *view_ = nullptr;
  HANDLE buffer_ready_ = nullptr;
  HANDLE data_ready_ = nullptr;
  HANDLE quit_ = nullptr;
  std::thread thread_;
};
