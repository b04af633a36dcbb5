// trace_emit [text...]: writes each argument as one debug-output line through
// OutputDebugStringW, in order, so capture tests have a second process that traces.
#include <windows.h>

int wmain(int argc, wchar_t **argv) {
  for (int i = 1; i < argc; ++i) OutputDebugStringW(argv[i]);
  return 0;
}
