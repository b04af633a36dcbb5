#include "dbwin.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// The channel's one shared page: the writer's process id, then its text, NUL-terminated.
constexpr DWORD kBufferSize = 4096;
constexpr DWORD kTextMax = kBufferSize - sizeof(DWORD);

// Fails, with ERROR_ALREADY_EXISTS, on an object someone else created: a second capturer would
// take lines from the first one at random.
HANDLE create_named(HANDLE object, DWORD *error) {
  const DWORD code = GetLastError();
  if (object == nullptr) {
    *error = code;
  } else if (code == ERROR_ALREADY_EXISTS) {
    *error = code;
    CloseHandle(object);
    object = nullptr;
  }
  return object;
}

void close_handle(HANDLE *h) {
  if (*h != nullptr) CloseHandle(*h);
  *h = nullptr;
}

}  // namespace

DbwinCapture::DbwinCapture(DbwinSink sink) : sink_(std::move(sink)) {
  if (!create_objects()) {
    close_objects();
    return;
  }
  // Writers wait for this before they fill the page.
  SetEvent(buffer_ready_);
  thread_ = std::thread([this] { receive(); });
}

DbwinCapture::~DbwinCapture() { stop(); }

void DbwinCapture::stop() {
  if (thread_.joinable()) {
    SetEvent(quit_);
    thread_.join();
  }
  close_objects();
}

bool DbwinCapture::create_objects() {
  mapping_ = create_named(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             kBufferSize, L"DBWIN_BUFFER"),
                          &error_);
  if (mapping_ == nullptr) return false;
  buffer_ready_ = create_named(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"), &error_);
  if (buffer_ready_ == nullptr) return false;
  data_ready_ = create_named(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"), &error_);
  if (data_ready_ == nullptr) return false;
  quit_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (quit_ == nullptr) {
    error_ = GetLastError();
    return false;
  }
  view_ = static_cast<const char *>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kBufferSize));
  if (view_ == nullptr) {
    error_ = GetLastError();
    return false;
  }
  return true;
}

void DbwinCapture::close_objects() {
  if (view_ != nullptr) UnmapViewOfFile(view_);
  view_ = nullptr;
  close_handle(&quit_);
  close_handle(&data_ready_);
  close_handle(&buffer_ready_);
  close_handle(&mapping_);
}

void DbwinCapture::receive() {
  const HANDLE events[2] = {quit_, data_ready_};
  bool quitting = false;
  while (!quitting) {
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      // A line written just before the stop still belongs to this capture.
      quitting = true;
      if (WaitForSingleObject(data_ready_, 0) != WAIT_OBJECT_0) return;
    } else if (woke != WAIT_OBJECT_0 + 1) {
      return;
    }
    DbwinLine line;
    std::memcpy(&line.pid, view_, sizeof line.pid);
    const char *text = view_ + sizeof line.pid;
    line.text.assign(text, std::find(text, text + kTextMax, '\0'));
    SetEvent(buffer_ready_);
    sink_(line);
  }
}

DbwinRecorder::DbwinRecorder()
    : pid_(GetCurrentProcessId()), capture_([this](const DbwinLine &line) { keep(line); }) {}

void DbwinRecorder::keep(const DbwinLine &line) {
  if (line.pid != pid_) return;
  std::lock_guard<std::mutex> hold(lock_);
  if (!marker_seen_ && !marker_.empty() && line.text == marker_) {
    taken_ = std::move(lines_);
    lines_.clear();
    marker_seen_ = true;
    arrived_.notify_all();
    return;
  }
  lines_.push_back(line.text);
}

bool DbwinRecorder::take(std::vector<std::string> *lines) {
  std::unique_lock<std::mutex> hold(lock_);
  lines->clear();
  if (!armed()) return false;
  // The channel keeps one writer's lines in order, so once this marker is back, every earlier
  // line of this process is too.
  marker_ = "dbwin-recorder-sync " + std::to_string(++marker_count_);
  marker_seen_ = false;
  const std::string marker = marker_;
  hold.unlock();
  OutputDebugStringA(marker.c_str());
  hold.lock();
  const bool seen =
      arrived_.wait_for(hold, std::chrono::seconds(30), [this] { return marker_seen_; });
  *lines = std::move(seen ? taken_ : lines_);
  (seen ? taken_ : lines_).clear();
  marker_.clear();
  return seen;
}
