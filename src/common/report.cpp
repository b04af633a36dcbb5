#include "common/report.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

void trace(const wchar_t *text) { OutputDebugStringW(text); }

void console(const wchar_t *text) {
  std::wprintf(text);
  std::fflush(stdout);
}
