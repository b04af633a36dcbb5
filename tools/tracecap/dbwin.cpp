#include "dbwin.h"

#include <algorithm>
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

DbwinCapture::DbwinCapture(DbwinSink sink, bool global) : sink_(std::move(sink)) {
  if (!create_objects(global ? L"Global\\" : L"")) {
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

bool DbwinCapture::create_objects(const wchar_t *prefix) {
  const std::wstring name(prefix);
  mapping_ = create_named(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             kBufferSize, (name + L"DBWIN_BUFFER").c_str()),
                          &error_);
  if (mapping_ == nullptr) return false;
  buffer_ready_ = create_named(
      CreateEventW(nullptr, FALSE, FALSE, (name + L"DBWIN_BUFFER_READY").c_str()), &error_);
  if (buffer_ready_ == nullptr) return false;
  data_ready_ = create_named(
      CreateEventW(nullptr, FALSE, FALSE, (name + L"DBWIN_DATA_READY").c_str()), &error_);
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
