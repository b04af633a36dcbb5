// Feeds the packet builder clock readings from the whole 64-bit range, and
// the layout timestamps no clock produces.
//
// Input: 8 bytes of clock reading, then 8 bytes of seconds and fraction for
// the layout alone (each least significant first); a short input is padded
// with zero bytes.
#include "broadcast/packet.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint64_t kTicksPerMs = 10000;
// 109 207 days from 1601-01-01 to 1900-01-01, in milliseconds.
constexpr std::uint64_t kMsBefore1900 = 109207ull * 86400 * 1000;
constexpr std::uint64_t kFractionPerMs = 4299266;

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "packet_fuzz: %s\n", what);
  std::abort();
}

std::uint64_t le(const std::uint8_t *at, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{at[i]} << (8 * i);
  return value;
}

std::uint32_t be32(const unsigned char *at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         at[3];
}

// Everything but the two timestamps is the same in every packet, and the
// timestamp goes into the reference and transmit slots alike.
void check_layout(const unsigned char (&p)[kPacketSize], NtpTimestamp now) {
  static const unsigned char head[16] = {0x1D, 15, 7, 0, 0,   0,   0,   0,
                                         0,    0,  0, 0, 'L', 'O', 'C', 'L'};
  if (std::memcmp(p, head, sizeof head) != 0) fail("fixed header bytes differ");
  for (std::size_t i = 24; i < 40; ++i)
    if (p[i] != 0) fail("originate or receive timestamp is not zero");
  if (std::memcmp(p + 16, p + 40, 8) != 0) fail("reference and transmit timestamps differ");
  if (be32(p + 16) != now.seconds || be32(p + 20) != now.fraction)
    fail("timestamp is not laid out big-endian");
}

void check_clock(std::uint64_t clock) {
  const NtpTimestamp t = clock_to_ntp(clock);
  unsigned char packet[kPacketSize];
  std::memset(packet, 0xA5, sizeof packet);
  build_packet(clock, packet);
  check_layout(packet, t);
  // Readings from 1900 on, below 2^63, are the ones a clock can give: worked
  // out again in unsigned arithmetic only.
  const std::uint64_t ms = clock / kTicksPerMs;
  if (clock >> 63 != 0 || ms < kMsBefore1900) return;
  const std::uint64_t since_1900 = ms - kMsBefore1900;
  const std::uint64_t remainder = since_1900 % 1000;
  const std::uint64_t fraction = remainder * kFractionPerMs;
  if (t.seconds != static_cast<std::uint32_t>(since_1900 / 1000)) fail("seconds are wrong");
  if (t.fraction != fraction) fail("fraction is not the ms remainder times 4299266");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::uint8_t input[16] = {};
  std::memcpy(input, data, size < sizeof input ? size : sizeof input);
  check_clock(le(input, 8));
  NtpTimestamp any;
  any.seconds = static_cast<std::uint32_t>(le(input + 8, 4));
  any.fraction = static_cast<std::uint32_t>(le(input + 12, 4));
  unsigned char packet[kPacketSize];
  std::memset(packet, 0x5A, sizeof packet);
  lay_out_packet(any, packet);
  check_layout(packet, any);
  return 0;
}
