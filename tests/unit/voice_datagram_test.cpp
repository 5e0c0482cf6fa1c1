#include "voice/voice_datagram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace pelvarine {
namespace {

using Incoming = std::array<uint8_t, kIncomingDatagramSize>;

std::string Field(const uint8_t* datagram) {
  return std::string(datagram, datagram + kSequenceFieldSize);
}

// An outgoing datagram, with sentinels after its 144 bytes to show nothing is written past them.
struct Framed {
  explicit Framed(int32_t sequence, uint8_t fill = 0x5A) {
    bytes.fill(0xEE);
    std::array<uint8_t, kVoiceBlockSize> block;
    block.fill(fill);
    FrameVoiceDatagram(sequence, block.data(), bytes.data());
  }
  std::string SequenceField() const { return Field(bytes.data()); }
  std::array<uint8_t, kOutgoingDatagramSize + 8> bytes;
};

TEST(FrameVoiceDatagram, SequenceIsRightAlignedDecimalWithSpacesInFront) {
  EXPECT_EQ(Framed(1).SequenceField(), std::string(15, ' ') + "1");
  EXPECT_EQ(Framed(100).SequenceField(), std::string(13, ' ') + "100");
  EXPECT_EQ(Framed(0).SequenceField(), std::string(15, ' ') + "0");
  EXPECT_EQ(Framed(-1).SequenceField(), std::string(14, ' ') + "-1");
  EXPECT_EQ(Framed(-305).SequenceField(), std::string(12, ' ') + "-305");
  EXPECT_EQ(Framed(1000000000).SequenceField(), std::string(6, ' ') + "1000000000");
  // The widest numbers still leave at least five spaces.
  EXPECT_EQ(Framed(std::numeric_limits<int32_t>::max()).SequenceField(), std::string(6, ' ') + "2147483647");
  EXPECT_EQ(Framed(std::numeric_limits<int32_t>::min()).SequenceField(), std::string(5, ' ') + "-2147483648");
}

TEST(FrameVoiceDatagram, BlockFollowsTheFieldAndNothingIsWrittenPast144Bytes) {
  std::array<uint8_t, kVoiceBlockSize> block;
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i * 7 + 1);
  std::array<uint8_t, kOutgoingDatagramSize + 8> bytes;
  bytes.fill(0xEE);
  FrameVoiceDatagram(42, block.data(), bytes.data());
  EXPECT_EQ(0, std::memcmp(bytes.data() + 16, block.data(), kVoiceBlockSize));
  for (size_t i = kOutgoingDatagramSize; i < bytes.size(); ++i)
    EXPECT_EQ(bytes[i], 0xEE) << "byte " << i;
  EXPECT_EQ(kOutgoingDatagramSize, 144u);
}

TEST(FrameVoiceDatagram, ReframingAShorterNumberLeavesNoDigitsOfTheLongerOne) {
  std::array<uint8_t, kVoiceBlockSize> block{};
  std::array<uint8_t, kOutgoingDatagramSize> bytes;
  FrameVoiceDatagram(123456789, block.data(), bytes.data());
  FrameVoiceDatagram(7, block.data(), bytes.data());
  EXPECT_EQ(Field(bytes.data()), std::string(15, ' ') + "7");
}

// A received datagram whose sequence field (bytes 16-31) starts with `field`; the rest stays zero
// unless the test writes it.
Incoming WithSequenceField(const std::string& field) {
  Incoming d{};
  std::memcpy(d.data() + kIncomingSequenceOffset, field.data(), std::min(field.size(), size_t{32}));
  return d;
}

int32_t Read(const std::string& field) {
  return ReadSequenceNumber(WithSequenceField(field).data());
}

TEST(ReadSequenceNumber, ReadsLikeAtol) {
  EXPECT_EQ(Read(std::string(15, ' ') + "9"), 9);
  EXPECT_EQ(Read("42"), 42);
  EXPECT_EQ(Read(" \t\n\v\f\r17"), 17);  // every white-space byte is skipped
  EXPECT_EQ(Read("+8"), 8);
  EXPECT_EQ(Read("   -12"), -12);
  EXPECT_EQ(Read("0000000000000031"), 31);
  EXPECT_EQ(Read("12ab34"), 12);  // digits up to the first other byte
  EXPECT_EQ(Read("12 34"), 12);
  EXPECT_EQ(Read("3.9"), 3);
}

TEST(ReadSequenceNumber, NoDigitsGivesZero) {
  EXPECT_EQ(Read(""), 0);  // all zero bytes
  EXPECT_EQ(Read(std::string(16, ' ')), 0);
  EXPECT_EQ(Read("abc123"), 0);
  EXPECT_EQ(Read("+"), 0);
  EXPECT_EQ(Read("-"), 0);
  EXPECT_EQ(Read("- 5"), 0);  // no white space between sign and digits
  EXPECT_EQ(Read("+-5"), 0);
  EXPECT_EQ(Read("--5"), 0);
  EXPECT_EQ(Read("\x80\x81"
                 "5"),
            0);
}

TEST(ReadSequenceNumber, SaturatesAtTheThirtyTwoBitLimits) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(Read("2147483647"), kMax);
  EXPECT_EQ(Read("2147483646"), kMax - 1);
  EXPECT_EQ(Read("2147483648"), kMax);
  EXPECT_EQ(Read("9999999999999999"), kMax);
  EXPECT_EQ(Read("-2147483648"), kMin);
  EXPECT_EQ(Read("-2147483647"), kMin + 1);
  EXPECT_EQ(Read("-2147483649"), kMin);
  EXPECT_EQ(Read("-999999999999999"), kMin);
  EXPECT_EQ(Read("4294967297"), kMax);  // not wrapped round to 1
}

TEST(ReadSequenceNumber, StopsAtTheFirstNulOrAfterSixteenBytes) {
  Incoming d = WithSequenceField("12");
  d[16 + 3] = '3';  // after the NUL at offset 18
  EXPECT_EQ(ReadSequenceNumber(d.data()), 12);

  d = WithSequenceField(std::string(15, ' ') + "1");
  d[32] = '2';  // the first audio byte is not part of the number
  d[33] = '5';
  EXPECT_EQ(ReadSequenceNumber(d.data()), 1);

  d = WithSequenceField(std::string(16, ' '));
  d[32] = '7';
  EXPECT_EQ(ReadSequenceNumber(d.data()), 0);

  d = WithSequenceField("1234567890123456");
  EXPECT_EQ(ReadSequenceNumber(d.data()), std::numeric_limits<int32_t>::max());

  // Bytes 0-15 are not the sequence field.
  d = WithSequenceField("5");
  std::memcpy(d.data(), "999", 3);
  EXPECT_EQ(ReadSequenceNumber(d.data()), 5);
}

Incoming WithText(const std::string& text, size_t offset = 0) {
  Incoming d{};
  std::memcpy(d.data() + offset, text.data(), text.size());
  return d;
}

TEST(AddressFilter, LocalAddressMayStandAnywhereInTheText) {
  EXPECT_TRUE(PassesAddressFilter(WithText("10.0.0.1").data(), "10.0.0.1"));
  EXPECT_TRUE(PassesAddressFilter(WithText("10.0.0.15").data(), "10.0.0.1"));  // a substring is enough
  EXPECT_TRUE(PassesAddressFilter(WithText("to 10.0.0.1!").data(), "10.0.0.1"));
  EXPECT_FALSE(PassesAddressFilter(WithText("10.0.0.2").data(), "10.0.0.1"));
  EXPECT_FALSE(PassesAddressFilter(WithText("10.0.0.").data(), "10.0.0.1"));
  EXPECT_FALSE(PassesAddressFilter(WithText("10-0-0-1").data(), "10.0.0.1"));
}

TEST(AddressFilter, TextRunsPastTheFirstSixteenBytesUntilAZeroByte) {
  std::string filler(40, 'x');
  EXPECT_TRUE(PassesAddressFilter(WithText(filler + "192.168.1.20").data(), "192.168.1.20"));

  // A zero byte ends the text: the address after it is not seen.
  Incoming d = WithText(filler + "192.168.1.20");
  d[20] = 0;
  EXPECT_FALSE(PassesAddressFilter(d.data(), "192.168.1.20"));

  // An address cut by a zero byte does not match either.
  d = WithText("192.168.1.20");
  d[7] = 0;
  EXPECT_FALSE(PassesAddressFilter(d.data(), "192.168.1.20"));
}

TEST(AddressFilter, WithoutAZeroByteTheTextIsAll160Bytes) {
  Incoming d;
  d.fill('x');
  std::memcpy(d.data() + kIncomingDatagramSize - 8, "10.0.0.1", 8);
  EXPECT_TRUE(PassesAddressFilter(d.data(), "10.0.0.1"));
  d.fill('x');
  std::memcpy(d.data() + kIncomingDatagramSize - 7, "10.0.0.", 7);
  EXPECT_FALSE(PassesAddressFilter(d.data(), "10.0.0.1"));
}

TEST(AddressFilter, EmptyLocalAddressPassesEverythingAndAnEmptyTextOnlyThat) {
  Incoming zero{};
  EXPECT_TRUE(PassesAddressFilter(zero.data(), ""));
  EXPECT_TRUE(PassesAddressFilter(WithText("anything at all").data(), ""));

  // First byte zero: the text is empty, even though the address follows.
  Incoming d = WithText("10.0.0.1", 1);
  EXPECT_FALSE(PassesAddressFilter(d.data(), "10.0.0.1"));
  EXPECT_TRUE(PassesAddressFilter(d.data(), ""));
}

}  // namespace
}  // namespace pelvarine
