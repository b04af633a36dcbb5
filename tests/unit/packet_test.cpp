// Byte-exact vectors for the clock conversion and the packet layout.
#include "broadcast/packet.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// 100 ns units per millisecond and per second.
constexpr std::uint64_t kMs = 10000;
constexpr std::uint64_t kSec = 1000 * kMs;
// 1601-01-01 to 1900-01-01 is 109 207 days.
constexpr std::uint64_t k1900 = 109207ull * 86400 * kSec;
// NTP era 1 begins 2^32 s after 1900: 2036-02-07 06:28:16 UTC.
constexpr std::uint64_t kEra1 = k1900 + (1ull << 32) * kSec;

std::uint32_t be32(const unsigned char *at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         at[3];
}

TEST(ClockToNtp, EpochOf1900IsZero) {
  EXPECT_EQ(k1900, 94354848000000000ull);
  const NtpTimestamp t = clock_to_ntp(k1900);
  EXPECT_EQ(t.seconds, 0u);
  EXPECT_EQ(t.fraction, 0u);
}

TEST(ClockToNtp, KnownReadingOf2016) {
  // 2016-12-05 06:50:41.1234567 UTC; the seconds are 3 689 909 441 and the
  // remainder 123 ms, times 4 299 266.
  const NtpTimestamp t = clock_to_ntp(131253942411234567ull);
  EXPECT_EQ(t.seconds, 0xDBEF8CC1u);
  EXPECT_EQ(t.fraction, 0x1F84FEF6u);
  EXPECT_EQ(t.fraction, 123u * 4299266u);
}

TEST(ClockToNtp, UnixEpochIsTheRfcConstant) {
  // 1970-01-01 is 2 208 988 800 s after 1900 (RFC 868, RFC 5905).
  const std::uint64_t unix_epoch = 116444736000000000ull;
  EXPECT_EQ(clock_to_ntp(unix_epoch).seconds, 2208988800u);
}

TEST(ClockToNtp, LastMillisecondOfASecondStillFits) {
  const NtpTimestamp t = clock_to_ntp(k1900 + 5 * kSec + 999 * kMs);
  EXPECT_EQ(t.seconds, 5u);
  EXPECT_EQ(t.fraction, 0xFFFFFDCEu);
}

TEST(ClockToNtp, SubMillisecondDigitsAreDroppedNotRounded) {
  const std::uint64_t base = 131253942411230000ull;  // a whole millisecond
  const NtpTimestamp whole = clock_to_ntp(base);
  for (std::uint64_t extra : {1ull, 4999ull, 5000ull, 9999ull}) {
    const NtpTimestamp t = clock_to_ntp(base + extra);
    EXPECT_EQ(t.seconds, whole.seconds) << extra;
    EXPECT_EQ(t.fraction, whole.fraction) << extra;
  }
  EXPECT_NE(clock_to_ntp(base + kMs).fraction, whole.fraction);
}

TEST(ClockToNtp, EraWrapsIn2036) {
  const NtpTimestamp last = clock_to_ntp(kEra1 - kMs);
  EXPECT_EQ(last.seconds, 0xFFFFFFFFu);
  EXPECT_EQ(last.fraction, 0xFFFFFDCEu);
  const NtpTimestamp wrap = clock_to_ntp(kEra1);
  EXPECT_EQ(wrap.seconds, 0u);
  EXPECT_EQ(wrap.fraction, 0u);
  const NtpTimestamp next = clock_to_ntp(kEra1 + kSec + 123 * kMs);
  EXPECT_EQ(next.seconds, 1u);
  EXPECT_EQ(next.fraction, 123u * 4299266u);
}

TEST(LayOutPacket, ExactBytes) {
  unsigned char p[kPacketSize];
  lay_out_packet(NtpTimestamp{0xDBEF8CC1u, 0x1F84FEF6u}, p);
  // One row per field, as in the packet diagram.
  // clang-format off
  const unsigned char expected[kPacketSize] = {
      0x1D, 0x0F, 0x07, 0x00,                          // LI 0, VN 3, mode 5; stratum; poll; precision
      0, 0, 0, 0, 0, 0, 0, 0,                          // root delay, root dispersion
      'L', 'O', 'C', 'L',                              // reference identifier
      0xDB, 0xEF, 0x8C, 0xC1, 0x1F, 0x84, 0xFE, 0xF6,  // reference timestamp
      0, 0, 0, 0, 0, 0, 0, 0,                          // originate timestamp
      0, 0, 0, 0, 0, 0, 0, 0,                          // receive timestamp
      0xDB, 0xEF, 0x8C, 0xC1, 0x1F, 0x84, 0xFE, 0xF6,  // transmit timestamp
  };
  // clang-format on
  for (std::size_t i = 0; i < kPacketSize; ++i) EXPECT_EQ(p[i], expected[i]) << "offset " << i;
}

TEST(BuildPacket, FixedFieldsHoldForAnyClock) {
  const std::uint64_t readings[] = {0,          k1900, k1900 + 999 * kMs,
                                    kEra1 - 1,  kEra1, 131253942411234567ull,
                                    ~0ull >> 1, ~0ull, 1ull << 63};
  for (std::uint64_t clock : readings) {
    unsigned char p[kPacketSize];
    for (unsigned char &b : p) b = 0xAA;  // whatever the caller's buffer held before
    build_packet(clock, p);
    SCOPED_TRACE(clock);
    EXPECT_EQ(p[0], 0x1D);
    EXPECT_EQ(p[1], 15);
    EXPECT_EQ(p[2], 7);
    EXPECT_EQ(p[3], 0);
    EXPECT_EQ(be32(p + 4), 0u);
    EXPECT_EQ(be32(p + 8), 0u);
    EXPECT_EQ(be32(p + 12), 0x4C4F434Cu);
    for (int i = 24; i < 40; ++i) EXPECT_EQ(p[i], 0) << "offset " << i;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[16 + i], p[40 + i]) << "offset " << 16 + i;
    const NtpTimestamp t = clock_to_ntp(clock);
    EXPECT_EQ(be32(p + 40), t.seconds);
    EXPECT_EQ(be32(p + 44), t.fraction);
  }
}

}  // namespace
