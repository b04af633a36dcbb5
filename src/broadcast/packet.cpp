#include "broadcast/packet.h"

#include <cstring>

namespace {

// 109 207 days from 1601-01-01 to 1900-01-01, in milliseconds.
constexpr std::int64_t kMsFrom1601To1900 = 9435484800000;

// floor(2^32 / 999) rather than 2^32 / 1000: the fraction of 999 ms then
// still fits in 32 bits (0xFFFFFDCE) at the price of running about 0.1 %
// fast within each second. Receivers have long seen exactly this.
constexpr std::uint32_t kFractionPerMs = 4299266;

void put_be32(unsigned char *at, std::uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24);
  at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8);
  at[3] = static_cast<unsigned char>(value);
}

}  // namespace

NtpTimestamp clock_to_ntp(std::uint64_t clock) {
  // Signed with truncating division; readings past 2^63 do not come from a
  // real clock, and are only required not to misbehave.
  const std::int64_t ms = static_cast<std::int64_t>(clock) / 10000 - kMsFrom1601To1900;
  NtpTimestamp t;
  // Keeping the low 32 bits is the NTP era wrap of 2036-02-07.
  t.seconds = static_cast<std::uint32_t>(ms / 1000);
  // Modulo 2^32 this is the true remainder in every era, since 2^32 * 1000
  // is a multiple of 2^32.
  const std::uint32_t remainder = static_cast<std::uint32_t>(ms) - t.seconds * 1000u;
  t.fraction = remainder * kFractionPerMs;
  return t;
}

void lay_out_packet(NtpTimestamp now, unsigned char (&packet)[kPacketSize]) {
  std::memset(packet, 0, kPacketSize);
  const unsigned leap = 0, version = 3, mode = 5;
  packet[0] = static_cast<unsigned char>(leap << 6 | version << 3 | mode);
  packet[1] = 15;                     // stratum: the lowest a local clock may claim
  packet[2] = 7;                      // poll: 2^7 = 128 s, the broadcast interval
  packet[3] = 0;                      // precision
  put_be32(packet + 12, 0x4C4F434C);  // "LOCL"
  put_be32(packet + 16, now.seconds);
  put_be32(packet + 20, now.fraction);
  put_be32(packet + 40, now.seconds);
  put_be32(packet + 44, now.fraction);
}

void build_packet(std::uint64_t clock, unsigned char (&packet)[kPacketSize]) {
  lay_out_packet(clock_to_ntp(clock), packet);
}
