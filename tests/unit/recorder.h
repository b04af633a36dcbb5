// The trace lines this test process writes, read back from the debug-output channel through
// the capture tracecap uses; other processes' lines are ignored.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "dbwin.h"

using Lines = std::vector<std::string>;

class Recorder {
 public:
  Recorder() : capture_([this](const DbwinLine &line) { keep(line); }) {}
  bool armed() const { return capture_.armed(); }

  // Every line written before the call, in order. The channel keeps one writer's lines in
  // order, so once a marker written now is back, so is every earlier line.
  Lines take() {
    const std::string marker = "recorder marker " + std::to_string(++markers_);
    OutputDebugStringA(marker.c_str());
    std::unique_lock<std::mutex> hold(lock_);
    const bool back = arrived_.wait_for(hold, std::chrono::seconds(30),
                                        [&] { return !lines_.empty() && lines_.back() == marker; });
    Lines taken = std::move(lines_);
    lines_.clear();
    if (back)
      taken.pop_back();
    else
      taken.push_back("(the channel lost the marker)");
    return taken;
  }

 private:
  void keep(const DbwinLine &line) {
    if (line.pid != GetCurrentProcessId()) return;
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back(line.text);
    arrived_.notify_all();
  }

  unsigned markers_ = 0;
  Lines lines_;
  std::mutex lock_;
  std::condition_variable arrived_;
  DbwinCapture capture_;  // last, so it stops before the members its sink uses go
};
