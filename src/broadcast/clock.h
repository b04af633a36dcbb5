// The PC clock as one 64-bit FILETIME count (100 ns units since 1601-01-01
// UTC), read from the finest source this Windows has. Windows 8 and later
// have a precise reading; Windows 7 only the coarse one, which advances once
// per timer tick (15.6 ms on an idle PC). Never imports the precise function
// by name, so the program still starts where it is missing.
#pragma once

#include <windows.h>

#include <cstdint>

using ClockReader = void(WINAPI *)(LPFILETIME);

// The precise reader found by the lookup, or the coarse one when the lookup
// found nothing.
ClockReader choose_clock(FARPROC precise);

// Looks the precise reader up in kernel32 on the first call only.
std::uint64_t read_clock();
