#include "broadcast/clock.h"

ClockReader choose_clock(FARPROC precise) {
  if (precise == nullptr) return GetSystemTimeAsFileTime;
  // Through the generic function type, which any function pointer may be cast to and back.
  return reinterpret_cast<ClockReader>(reinterpret_cast<void (*)()>(precise));
}

std::uint64_t read_clock() {
  static const ClockReader reader = choose_clock(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime"));
  FILETIME now;
  reader(&now);
  return static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}
