#include "exchange/protocol/wire_formats.h"

#include <gtest/gtest.h>

#include <regex>

#include "exchange/protocol/display_text.h"

namespace exchange {
namespace {

const std::string kField1 = "{QMVRTEPLOSKANDIRWEXULBO19870524}[GETIP]";

// ---- Address record ----

TEST(AddressRecord, QueryHasTheClientLayout) {
  std::string q = BuildAddressQuery();
  ASSERT_EQ(q.size(), 452u);
  EXPECT_EQ(q.substr(0, 4), std::string(4, '\0'));
  EXPECT_EQ(q.substr(4, 40), kField1);
  EXPECT_EQ(q.substr(44, 24), std::string(24, '\0'));
  EXPECT_EQ(q.substr(68, 6), "274953");
  EXPECT_EQ(q.substr(74, 452 - 74), std::string(452 - 74, '\0'));
  EXPECT_EQ(ValidateAddressQuery(q), "");
}

TEST(AddressRecord, ReplyCarriesThePhoneAddressInField5Only) {
  std::string r = BuildAddressReply("192.168.10.20");
  ASSERT_EQ(r.size(), 452u);
  EXPECT_EQ(r.substr(260, 13), "192.168.10.20");
  std::string rest = r.substr(0, 260) + r.substr(273);
  EXPECT_EQ(rest, std::string(452 - 13, '\0'));
  EXPECT_EQ(AddressFieldText(r, 5), "192.168.10.20");
  EXPECT_EQ(AddressFieldText(r, 1), "");
}

TEST(AddressRecord, OverlongFieldTextKeepsItsTerminator) {
  std::string r = BuildAddressRecord({std::string(100, 'x')});
  EXPECT_EQ(AddressFieldText(r, 1), std::string(63, 'x'));
  EXPECT_EQ(r[4 + 63], '\0');
}

struct MalformedCase {
  const char* name;
  std::string record;
  std::string message;
};

std::vector<MalformedCase> MalformedCases() {
  std::vector<MalformedCase> cases;
  std::string q = BuildAddressQuery();
  auto with = [&](size_t offset, std::string_view bytes) {
    std::string r = q;
    r.replace(offset, bytes.size(), bytes);
    return r;
  };
  cases.push_back({"reserved", with(2, "\x07"), "reserved bytes 0-3 are not zero: \"\\x00\\x00\\x07\\x00\""});
  cases.push_back(
      {"field1_text", with(4 + 34, "GETIQ"),
       "field 1 (offset 4) is \"{QMVRTEPLOSKANDIRWEXULBO19870524}[GETIQ]\", expected \"" + kField1 + "\""});
  cases.push_back(
      {"field1_short", with(4 + 39, std::string(1, '\0')),
       "field 1 (offset 4) is \"{QMVRTEPLOSKANDIRWEXULBO19870524}[GETIP\", expected \"" + kField1 + "\""});
  cases.push_back({"field1_padding", with(4 + 50, "x"),
                   "field 1 (offset 4) padding is not zero: byte 0x78 at offset 54"});
  cases.push_back({"field1_unterminated", with(4, std::string(64, 'A')),
                   "field 1 (offset 4) is not NUL-terminated: \"" + std::string(64, 'A') + "\""});
  cases.push_back(
      {"field2_text", with(68, "274954"), "field 2 (offset 68) is \"274954\", expected \"274953\""});
  cases.push_back({"field2_padding", with(68 + 63, "\x01"),
                   "field 2 (offset 68) padding is not zero: byte 0x01 at offset 131"});
  cases.push_back({"field3", with(132 + 5, "ab"),
                   "field 3 (offset 132) is not zero: first non-zero byte at offset 137, content "
                   "\"\\x00\\x00\\x00\\x00\\x00ab\""});
  cases.push_back(
      {"field5_reply_text", with(260, "127.0.0.1"),
       "field 5 (offset 260) is not zero: first non-zero byte at offset 260, content \"127.0.0.1\""});
  std::string nuls;
  for (int i = 0; i < 63; ++i)
    nuls += "\\x00";
  cases.push_back(
      {"field7_last_byte", with(451, "\xff"),
       "field 7 (offset 388) is not zero: first non-zero byte at offset 451, content \"" + nuls + "\\xFF\""});
  return cases;
}

TEST(AddressRecord, ValidationNamesTheFirstProblemPrecisely) {
  for (const MalformedCase& c : MalformedCases()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.record.size(), 452u);
    EXPECT_EQ(ValidateAddressQuery(c.record), c.message);
  }
}

TEST(AddressRecord, ValidationRejectsWrongSizes) {
  EXPECT_EQ(ValidateAddressQuery(BuildAddressQuery().substr(0, 451)), "query is 451 bytes, expected 452");
  EXPECT_EQ(ValidateAddressQuery(""), "query is 0 bytes, expected 452");
}

// ---- Stream parser ----

std::vector<ClientMessage> FeedAll(const std::vector<std::string>& pieces, bool finish = false) {
  StreamParser parser;
  std::vector<ClientMessage> out;
  for (const std::string& p : pieces) {
    for (ClientMessage& m : parser.Feed(p))
      out.push_back(std::move(m));
  }
  if (finish) {
    for (ClientMessage& m : parser.Finish())
      out.push_back(std::move(m));
  }
  return out;
}

std::string Describe(const std::vector<ClientMessage>& messages) {
  std::string out;
  for (const ClientMessage& m : messages) {
    switch (m.type) {
      case ClientMessage::Type::LocalAddress:
        out += "L(" + m.local_address + ")";
        break;
      case ClientMessage::Type::Dial:
        out += "D(" + m.local_address + "|" + m.dial + ")";
        break;
      case ClientMessage::Type::QualityRequest:
        out += "Q";
        break;
      case ClientMessage::Type::Garbage:
        out += "G(" + GbkToDisplay(m.raw) + ")";
        break;
    }
  }
  return out;
}

TEST(StreamParser, ParsesTheClientMessages) {
  std::vector<ClientMessage> m = FeedAll({"{MyInNetLocalIP}[   10.0.0.1]"});
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].type, ClientMessage::Type::LocalAddress);
  EXPECT_EQ(m[0].local_address, "10.0.0.1");
  EXPECT_EQ(m[0].raw, "{MyInNetLocalIP}[   10.0.0.1]");

  m = FeedAll({"{BuoHao}[(10.0.0.1)3381]"});
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].type, ClientMessage::Type::Dial);
  EXPECT_EQ(m[0].local_address, "10.0.0.1");
  EXPECT_EQ(m[0].dial, "3381");

  EXPECT_EQ(Describe(FeedAll({"{ZhiLiangCha}"})), "Q");
  EXPECT_EQ(Describe(FeedAll({"{BuoHao}[(192.168.100.200)]"})), "D(192.168.100.200|)");
  EXPECT_EQ(Describe(FeedAll({"{MyInNetLocalIP}[192.168.100.200]"})), "L(192.168.100.200)");
}

TEST(StreamParser, SplitAtEveryPositionGivesTheSameMessages) {
  const std::string stream = "{MyInNetLocalIP}[   10.0.0.1]{BuoHao}[(10.0.0.1)3381]{ZhiLiangCha}";
  const std::string expected = "L(10.0.0.1)D(10.0.0.1|3381)Q";
  ASSERT_EQ(Describe(FeedAll({stream})), expected);
  for (size_t i = 1; i < stream.size(); ++i) {
    for (size_t j = i; j < stream.size(); j += 7) {
      ASSERT_EQ(Describe(FeedAll({stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)})), expected)
          << "split at " << i << "," << j;
    }
  }
}

TEST(StreamParser, GarbageIsSeparatedFromFollowingMessages) {
  EXPECT_EQ(Describe(FeedAll({"abc\x01{ZhiLiangCha}"})), "G(abc\\x01)Q");
  EXPECT_EQ(Describe(FeedAll({"{GuaJi}{ZhiLiangCha}"})), "G({GuaJi})Q");
  EXPECT_EQ(Describe(FeedAll({"{ZhiLiangChaX}"})), "G({ZhiLiangChaX})");
  EXPECT_EQ(Describe(FeedAll({std::string("\0\0{ZhiLiangCha}", 15)})), "G(\\x00\\x00)Q");
}

TEST(StreamParser, UnterminatedMessageBeforeANewTagIsGarbage) {
  EXPECT_EQ(Describe(FeedAll({"{MyInNetLocalIP}[ 10.0", "{BuoHao}[(10.0.0.1)5]"})),
            "G({MyInNetLocalIP}[ 10.0)D(10.0.0.1|5)");
}

TEST(StreamParser, MalformedDialIsGarbage) {
  std::vector<ClientMessage> m = FeedAll({"{BuoHao}[3381]{ZhiLiangCha}"});
  ASSERT_EQ(Describe(m), "G({BuoHao}[3381])Q");
  EXPECT_NE(m[0].note.find("malformed"), std::string::npos);
}

TEST(StreamParser, OverlongArgumentDoesNotGrowWithoutBound) {
  StreamParser parser;
  std::vector<ClientMessage> m = parser.Feed("{BuoHao}[(" + std::string(1000, '1'));
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m[0].type, ClientMessage::Type::Garbage);
  EXPECT_LT(parser.pending(), 300u);
}

TEST(StreamParser, IncompleteTailWaitsAndIsFlushedAsGarbageAtTheEnd) {
  StreamParser parser;
  EXPECT_TRUE(parser.Feed("{Buo").empty());
  EXPECT_TRUE(parser.Feed("Hao}[(1.1.1.1)12").empty());
  EXPECT_EQ(parser.pending(), 20u);
  std::vector<ClientMessage> m = parser.Finish();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].type, ClientMessage::Type::Garbage);
  EXPECT_EQ(m[0].raw, "{BuoHao}[(1.1.1.1)12");
  EXPECT_EQ(parser.pending(), 0u);
}

TEST(StreamParser, DialKeepsGbkBytes) {
  std::vector<ClientMessage> m = FeedAll({"{BuoHao}[(10.0.0.1)\xC4\xE3\xBA\xC3]"});
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].dial, "\xC4\xE3\xBA\xC3");
}

TEST(ClientMessages, BuildersMatchTheClientFormat) {
  EXPECT_EQ(BuildLocalAddressMessage("10.0.0.1"), "{MyInNetLocalIP}[   10.0.0.1]");
  EXPECT_EQ(BuildLocalAddressMessage("192.168.100.200"), "{MyInNetLocalIP}[192.168.100.200]");
  EXPECT_EQ(BuildDialMessage("10.0.0.1", "3381"), "{BuoHao}[(10.0.0.1)3381]");
  EXPECT_EQ(BuildRemoteUdpPortTag(30001), "{RemoteUDPPort}[30001]");
}

// ---- Voice datagrams ----

TEST(VoiceDatagram, ParsesTheClientSequenceField) {
  EXPECT_EQ(ParseClientVoiceSequence(std::string(15, ' ') + "1" + std::string(128, 'x')), 1);
  EXPECT_EQ(ParseClientVoiceSequence("1234567890123456"), 1234567890123456LL);
  EXPECT_EQ(ParseClientVoiceSequence("          123456"), 123456);
  EXPECT_FALSE(ParseClientVoiceSequence("             12a"));
  EXPECT_FALSE(ParseClientVoiceSequence("            1 2 "));
  EXPECT_FALSE(ParseClientVoiceSequence(std::string(16, ' ')));
  EXPECT_FALSE(ParseClientVoiceSequence(std::string("            \0\0\0\x31", 16)));
  EXPECT_FALSE(ParseClientVoiceSequence("         12"));  // shorter than the field
}

TEST(VoiceDatagram, ClientLayout) {
  std::string d = BuildClientVoice(42, std::string(128, 'a'));
  ASSERT_EQ(d.size(), 144u);
  EXPECT_EQ(d.substr(0, 16), std::string(14, ' ') + "42");
  EXPECT_EQ(d.substr(16), std::string(128, 'a'));
}

TEST(VoiceDatagram, ServerLayout) {
  std::string audio(128, '\x11');
  std::string d = BuildServerVoice("10.0.0.1", 42, audio);
  ASSERT_EQ(d.size(), 160u);
  EXPECT_EQ(d.substr(0, 16), std::string("10.0.0.1\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(d.substr(16, 16), std::string("42\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(d.substr(32), audio);

  std::optional<ServerVoice> v = ParseServerVoice(d);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->address_text, "10.0.0.1");
  EXPECT_EQ(v->sequence_text, "42");
  EXPECT_EQ(v->audio, audio);
}

TEST(VoiceDatagram, ServerDatagramPadsShortAudioWithSilenceAndTruncatesLongAddress) {
  std::string d = BuildServerVoice("123456789012345678", 7, "ab");
  ASSERT_EQ(d.size(), 160u);
  EXPECT_EQ(d.substr(0, 16), "1234567890123456");
  EXPECT_EQ(d.substr(32, 2), "ab");
  EXPECT_EQ(d.substr(34), std::string(126, '\xD5'));
}

// ---- Text ----

TEST(Text, GbkIsShownAsUtf8AndOtherBytesAreEscaped) {
  EXPECT_EQ(GbkToDisplay("\xC4\xE3\xBA\xC3"), "你好");
  EXPECT_EQ(GbkToDisplay("dial \xC4\xE3!"), "dial 你!");
  EXPECT_EQ(GbkToDisplay(std::string("a\0b\x01\x7F", 5)), "a\\x00b\\x01\\x7F");
  EXPECT_EQ(GbkToDisplay("back\\slash"), "back\\\\slash");
  EXPECT_EQ(GbkToDisplay("\x80\xFF"), "\\x80\\xFF");
  EXPECT_EQ(GbkToDisplay("A\xC4"), "A\\xC4");         // lead byte without trail
  EXPECT_EQ(GbkToDisplay("\xC4\x0A"), "\\xC4\\x0A");  // invalid trail byte
}

TEST(Text, WallClockHasMilliseconds) {
  auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123LL));
  std::string s = FormatWallClock(t);
  EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.123)"))) << s;
}

}  // namespace
}  // namespace exchange
