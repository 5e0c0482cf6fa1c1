#include "call/signal_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace pelvarine {
namespace {

std::string FieldText(const AddressQueryRecord& r, int n) {
  return std::string(reinterpret_cast<const char*>(r.Field(n)), kAddressFieldSize);
}

TEST(AddressQuery, HoldsTokenAndCodeInTheirFieldsAndZerosElsewhere) {
  AddressQueryRecord q = BuildAddressQuery();
  ASSERT_EQ(q.bytes.size(), 452u);
  EXPECT_EQ(std::string(q.bytes.begin(), q.bytes.begin() + 4), std::string(4, '\0'));
  std::string request = "{QMVRTEPLOSKANDIRWEXULBO19870524}[GETIP]";
  ASSERT_EQ(request.size(), 40u);
  EXPECT_EQ(FieldText(q, 1), request + std::string(24, '\0'));
  EXPECT_EQ(FieldText(q, 2), "274953" + std::string(58, '\0'));
  for (int n = 3; n <= 7; ++n)
    EXPECT_EQ(FieldText(q, n), std::string(64, '\0')) << "field " << n;
  EXPECT_EQ(q.Field(7) + 64, q.bytes.data() + q.bytes.size());
}

TEST(AddressReply, PhoneServerAddressIsField5UpToItsNul) {
  AddressQueryRecord r;
  std::string ip = "192.168.10.200";
  std::copy(ip.begin(), ip.end(), r.Field(5));
  r.Field(6)[0] = 'x';  // the next field is never read
  EXPECT_EQ(ReadPhoneServerAddress(r), ip);
  EXPECT_EQ(ReadPhoneServerAddress(AddressQueryRecord{}), "");
}

TEST(AddressReply, Field5WithoutNulKeepsAtMost63Characters) {
  AddressQueryRecord r;
  std::fill(r.Field(5), r.Field(5) + 64, '7');
  std::fill(r.Field(6), r.Field(6) + 64, '8');
  EXPECT_EQ(ReadPhoneServerAddress(r), std::string(63, '7'));
}

TEST(ClientMessages, LocalAddressIsRightAlignedInElevenCharacters) {
  EXPECT_EQ(FormatLocalAddressMessage("10.0.0.1"), "{MyInNetLocalIP}[   10.0.0.1]");
  EXPECT_EQ(FormatLocalAddressMessage("192.168.1.1"), "{MyInNetLocalIP}[192.168.1.1]");
  EXPECT_EQ(FormatLocalAddressMessage("192.168.100.200"), "{MyInNetLocalIP}[192.168.100.200]");
  EXPECT_EQ(FormatLocalAddressMessage(""), "{MyInNetLocalIP}[           ]");
}

TEST(ClientMessages, DialMessageCarriesAddressAndTheWholeDialString) {
  EXPECT_EQ(FormatDialMessage("10.0.0.1", "3381"), "{BuoHao}[(10.0.0.1)3381]");
  // A 15-character address and a 63-character dial string: nothing is cut.
  std::string dial(63, '9');
  std::string message = FormatDialMessage("192.168.100.200", dial);
  EXPECT_EQ(message, "{BuoHao}[(192.168.100.200)" + dial + "]");
}

TEST(DialString, DepartmentModeIsTheExtensionUnchanged) {
  EXPECT_EQ(ComposeDialString(DialMode::kDepartment, "3381", "555", "pw"), "3381");
}

TEST(DialString, DirectModeJoinsNumberAndPasswordWithHashes) {
  EXPECT_EQ(ComposeDialString(DialMode::kDirectNumber, "3381", "88001234", ""), "88001234# #");
  EXPECT_EQ(ComposeDialString(DialMode::kDirectNumber, "", "88001234", "ab"), "88001234#ab#");
}

TEST(DialString, TooLongForItsFieldIsRefusedNotCut) {
  std::string number(40, '1'), password(21, 'p');
  // 40 + 1 + 21 + 1 = 63 fits; one more character does not.
  EXPECT_EQ(ComposeDialString(DialMode::kDirectNumber, "", number, password)->size(), 63u);
  EXPECT_FALSE(ComposeDialString(DialMode::kDirectNumber, "", number, password + "q").has_value());
}

TEST(DialString, InputsAreReadAsAtMost62CharactersWithoutSplittingACharacter) {
  EXPECT_EQ(TruncateGbk(std::string(70, '5'), 62), std::string(62, '5'));
  // 61 ASCII bytes then a two-byte character: the character does not fit and is left out whole.
  std::string text = std::string(61, 'a') + "\xB5\xE7" + "b";
  EXPECT_EQ(TruncateGbk(text, 62), std::string(61, 'a'));
  EXPECT_EQ(TruncateGbk("\xB5\xE7\xBB\xB0", 62), "\xB5\xE7\xBB\xB0");
}

TEST(ReceivedChunk, EndsAtTheFirstNulAndNeverPastTheBytesReceived) {
  char full[kSignalChunkSize];
  std::fill(full, full + sizeof full, 'x');
  std::memcpy(full, "{HELO}", 6);
  EXPECT_EQ(ChunkFromReceive(full, sizeof full).size(), kSignalChunkSize);
  char buf[16] = "{GuaJi}\0zz";
  EXPECT_EQ(ChunkFromReceive(buf, 10), "{GuaJi}");
  EXPECT_EQ(ChunkFromReceive(buf, 3), "{Gu");
  EXPECT_EQ(ChunkFromReceive(buf, 0), "");
  EXPECT_EQ(ChunkFromReceive(buf, -1), "");
}

struct RecognitionCase {
  const char* chunk;
  SignalTag tag;
};

void PrintTo(const RecognitionCase& c, std::ostream* os) {
  *os << '"' << c.chunk << '"';
}

class Recognition : public ::testing::TestWithParam<RecognitionCase> {};

TEST_P(Recognition, MatchesOnlyTheWholeTagHeadAtTheStart) {
  EXPECT_EQ(RecogniseSignal(GetParam().chunk).tag, GetParam().tag) << GetParam().chunk;
}

INSTANTIATE_TEST_SUITE_P(
    Tags, Recognition,
    ::testing::Values(
        RecognitionCase{"{BuoHao}", SignalTag::kBuoHao}, RecognitionCase{"{GuaJi}", SignalTag::kGuaJi},
        RecognitionCase{"{ZhaiJi}", SignalTag::kZhaiJi},
        RecognitionCase{"{ChanelBusyNow}", SignalTag::kChanelBusyNow},
        RecognitionCase{"{ChanelWaitBohao}", SignalTag::kChanelWaitBohao},
        RecognitionCase{"{HELO}\r\n", SignalTag::kHelo},
        RecognitionCase{"{RemoteUDPPort}[20999]", SignalTag::kRemoteUdpPort},
        RecognitionCase{"{BoHaoStop}", SignalTag::kBoHaoStop},
        RecognitionCase{"{BoHaoNext}", SignalTag::kBoHaoNext},
        RecognitionCase{"{ZhiLiangCha}", SignalTag::kZhiLiangCha},
        RecognitionCase{"{PasswordOrTelphoneNumberFailed}", SignalTag::kPasswordOrTelphoneNumberFailed},
        // Anything before the brace, a different case, no closing brace, or a longer name.
        RecognitionCase{" {HELO}", SignalTag::kNone}, RecognitionCase{"\r\n{HELO}", SignalTag::kNone},
        RecognitionCase{"{helo}", SignalTag::kNone}, RecognitionCase{"{HELO", SignalTag::kNone},
        RecognitionCase{"{HELLO}", SignalTag::kNone}, RecognitionCase{"HELO}", SignalTag::kNone},
        RecognitionCase{"", SignalTag::kNone},
        RecognitionCase{"{ChanelWaitBohao}{RemoteUDPPort}[12]", SignalTag::kChanelWaitBohao}));

TEST(RemoteUdpPort, ArgumentDropsBracketsAndReadsLikeAtoi) {
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}[20999]").port, 20999);
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}").port, 0);
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}[  -12]").port, -12);
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}[x12]").port, 0);
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}[[2]0]1]").port, 201);
}

TEST(RemoteUdpPort, SecondTagIsOnlyPartOfTheArgument) {
  RecognisedSignal s = RecogniseSignal("{RemoteUDPPort}[12]{ChanelWaitBohao}");
  EXPECT_EQ(s.tag, SignalTag::kRemoteUdpPort);
  EXPECT_EQ(s.port, 12);
}

TEST(RemoteUdpPort, LongOrHugeArgumentsAreBoundedAndSaturate) {
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}[99999999999999999999]").port, 2147483647);
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}[-99999999999999999999]").port, -2147483647 - 1);
  // Only the first 63 characters of the argument count: 62 blanks and a 7, then digits that are cut off.
  std::string chunk = "{RemoteUDPPort}[" + std::string(62, ' ') + "7" + "123]";
  EXPECT_EQ(RecogniseSignal(chunk).port, 7);
  std::string garbage(5000, '[');
  EXPECT_EQ(RecogniseSignal("{RemoteUDPPort}" + garbage + "25").port, 25);
}

}  // namespace
}  // namespace pelvarine
