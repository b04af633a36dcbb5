// Receives the debug-output channel of this session (under Wine: this prefix): while a
// DbwinCapture is armed, every OutputDebugString text of every process in the session arrives,
// in the order written, on a thread of the capture's own. Only one capturer can be armed per
// session, so arming fails while any other program holds the channel.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  explicit DbwinCapture(DbwinSink sink);
  ~DbwinCapture();
  DbwinCapture(const DbwinCapture &) = delete;
  DbwinCapture &operator=(const DbwinCapture &) = delete;

  bool armed() const { return thread_.joinable(); }
  // ERROR_ALREADY_EXISTS when another capturer holds the channel, else the failing call's code.
  DWORD error() const { return error_; }
  // Returns once the last line is through the sink and the channel is free for others.
  void stop();

 private:
  bool create_objects();
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

// The lines this process writes, for tests that check their own trace output. Lines of other
// processes are ignored.
class DbwinRecorder {
 public:
  DbwinRecorder();
  bool armed() const { return capture_.armed(); }
  DWORD error() const { return capture_.error(); }
  // Moves out every line whose write in this process returned before the call, in order.
  // False when the channel did not deliver them within 30 s; *lines then holds what arrived.
  bool take(std::vector<std::string> *lines);

 private:
  void keep(const DbwinLine &line);

  DWORD pid_;
  unsigned marker_count_ = 0;
  std::string marker_;
  bool marker_seen_ = false;
  std::vector<std::string> lines_;
  std::vector<std::string> taken_;  // the lines before the marker, once it is back
  std::mutex lock_;
  std::condition_variable arrived_;
  DbwinCapture capture_;  // last, so it stops before the members its sink uses go
};
