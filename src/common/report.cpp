#include "common/report.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

void trace(const wchar_t *text) { OutputDebugStringW(text); }

void console(const wchar_t *text) {
  std::wprintf(text);
  // A console that cannot be written to has nowhere to be reported.
  static_cast<void>(std::fflush(stdout));
}
