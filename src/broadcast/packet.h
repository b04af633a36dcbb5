// The NTP version-3 broadcast packet (RFC 1305, mode 5, no authenticator),
// built from one reading of the PC clock. Pure computation: no platform call,
// so it builds and is tested on any host.
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |LI | VN  |Mode |    Stratum    |     Poll      |   Precision   |  0x1D 15 7 0
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                          Root Delay                           |  0
//  |                       Root Dispersion                         |  0
//  |                     Reference Identifier                      |  "LOCL"
//  |                   Reference Timestamp (64)                    |  now
//  |                   Originate Timestamp (64)                    |  0
//  |                    Receive Timestamp (64)                     |  0
//  |                    Transmit Timestamp (64)                    |  now
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//
// Every word is big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kPacketSize = 48;

struct NtpTimestamp {
  std::uint32_t seconds;   // since 1900-01-01 00:00 UTC, modulo 2^32
  std::uint32_t fraction;  // of the second, from whole milliseconds
};

// `clock` counts 100 ns intervals since 1601-01-01 00:00 UTC (a FILETIME).
NtpTimestamp clock_to_ntp(std::uint64_t clock);

// Fills all 48 bytes, stamping `now` as both reference and transmit time.
void lay_out_packet(NtpTimestamp now, unsigned char (&packet)[kPacketSize]);

void build_packet(std::uint64_t clock, unsigned char (&packet)[kPacketSize]);
