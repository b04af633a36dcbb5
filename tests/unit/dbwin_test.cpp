// The recorder the in-process trace checks rest on: whole lines in order, this process's only.
// One capturer at a time and the pid column are checked end to end through tracecap.
#include "dbwin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The same conversion OutputDebugStringW makes before it writes.
std::string ansi(const wchar_t *text) {
  char bytes[256];
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, static_cast<int>(sizeof bytes),
                                    nullptr, nullptr);
  return n > 0 ? std::string(bytes, n - 1) : "(no conversion)";
}

// Runs trace_emit.exe from beside this program and returns its pid once it has ended, or 0.
DWORD run_emitter(const std::wstring &arguments) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command(path, length);
  command.erase(command.find_last_of(L'\\') + 1);
  command = L"\"" + command + L"trace_emit.exe\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "CreateProcessW: error " << GetLastError();
    return 0;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

TEST(Dbwin, RecorderGetsWholeLinesInOrder) {
  DbwinRecorder recorder;
  ASSERT_TRUE(recorder.armed()) << "DBWIN objects: error " << recorder.error();
  const std::wstring long_line(4000, L'x');
  OutputDebugStringW(L"Ostrival: first");
  OutputDebugStringW(L"");
  OutputDebugStringW(long_line.c_str());
  OutputDebugStringW(L"caf\u00e9 \u2713");
  OutputDebugStringA("last");

  Lines lines;
  ASSERT_TRUE(recorder.take(&lines));
  EXPECT_EQ(lines, (Lines{"Ostrival: first", "", std::string(4000, 'x'), ansi(L"caf\u00e9 \u2713"),
                          "last"}));
  // Taken lines are gone; the next take starts after them.
  ASSERT_TRUE(recorder.take(&lines));
  EXPECT_EQ(lines, Lines{});
}

TEST(Dbwin, RecorderSkipsOtherProcesses) {
  DbwinRecorder recorder;
  ASSERT_TRUE(recorder.armed()) << "DBWIN objects: error " << recorder.error();
  OutputDebugStringW(L"before the child");
  ASSERT_NE(run_emitter(L"\"from the child\""), 0u);
  OutputDebugStringW(L"after the child");
  Lines lines;
  ASSERT_TRUE(recorder.take(&lines));
  EXPECT_EQ(lines, (Lines{"before the child", "after the child"}));
}

}  // namespace
