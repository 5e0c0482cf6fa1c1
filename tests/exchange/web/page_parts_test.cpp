// The web call's pure parts: the browser's offer and the exchange's answer, the page's messages, the
// WebSocket's origin rule.
#include <gtest/gtest.h>

#include "exchange/web/forwarded_for.h"
#include "exchange/web/origin_check.h"
#include "exchange/web/page_messages.h"
#include "exchange/web/sdp.h"

namespace exchange {
namespace {

// What chromium offers for one microphone track (shortened: fewer codecs and extensions).
constexpr char kOffer[] =
    "v=0\r\no=- 46 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\n"
    "m=audio 9 UDP/TLS/RTP/SAVPF 111 9 0 8 126\r\nc=IN IP4 0.0.0.0\r\n"
    "a=ice-ufrag:KdDb\r\na=ice-pwd:uX0wD2lVv7Qn3cN0yT5m4aBz\r\n"
    "a=fingerprint:sha-256 "
    "6B:B1:6D:09:5E:41:3D:90:E4:F7:CF:3F:72:4A:C2:E0:6F:80:9C:5C:48:48:46:99:E1:01:90:7D:E2:B5:D0:61\r\n"
    "a=setup:actpass\r\na=mid:0\r\na=sendrecv\r\na=rtcp-mux\r\n"
    "a=rtpmap:111 opus/48000/2\r\na=rtpmap:9 G722/8000\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n";

TEST(SdpOffer, ReadsTheAudioStreamsCredentialsFingerprintAndPcma) {
  std::string error;
  auto offer = ReadSdpOffer(kOffer, &error);
  ASSERT_TRUE(offer) << error;
  EXPECT_EQ(offer->ice_ufrag, "KdDb");
  EXPECT_EQ(offer->ice_pwd, "uX0wD2lVv7Qn3cN0yT5m4aBz");
  EXPECT_EQ(offer->fingerprint.substr(0, 13), "sha-256 6B:B1");
  EXPECT_EQ(offer->mid, "0");
  EXPECT_EQ(offer->pcma_payload, 8);
}

TEST(SdpOffer, RefusesWhatCannotBeAnswered) {
  auto without = [](std::string_view what) {
    std::string text(kOffer);
    size_t at = text.find(what);
    text.erase(at, text.find("\r\n", at) + 2 - at);
    return text;
  };
  struct Case {
    std::string text;
    const char* error;
  } cases[] = {
      {without("m=audio"), "no audio stream"},
      {without("a=rtpmap:8 "), "no PCMA/8000 in the audio stream"},
      {without("a=ice-ufrag"), "no ice-ufrag"},
      {without("a=ice-pwd"), "no ice-pwd"},
      {without("a=fingerprint"), "no sha-256 fingerprint"},
      {std::string(70000, 'a'), "offer too long"},
  };
  for (const Case& c : cases) {
    std::string error;
    // A PCMA offer without its rtpmap line still has the static type 8 in the m= line.
    if (std::string(c.error).find("PCMA") != std::string::npos) {
      ASSERT_TRUE(ReadSdpOffer(c.text, &error));
      std::string no_eight = c.text;
      no_eight.replace(no_eight.find(" 0 8 "), 5, " 0 ");
      EXPECT_FALSE(ReadSdpOffer(no_eight, &error));
    } else {
      EXPECT_FALSE(ReadSdpOffer(c.text, &error));
    }
    EXPECT_EQ(error, c.error);
  }
}

TEST(SdpAnswer, IsIceLitePassiveDtlsRtcpMuxPcmaOnlyWithOneHostCandidate) {
  std::string error;
  auto offer = ReadSdpOffer(kOffer, &error);
  ASSERT_TRUE(offer);
  std::string answer =
      BuildSdpAnswer(*offer, {"203.0.113.10", 20400, "abcd1234", "p" + std::string(23, 'w'), "AA:BB", 7});
  for (const char* line :
       {"a=ice-lite\r\n", "a=group:BUNDLE 0\r\n", "m=audio 20400 UDP/TLS/RTP/SAVPF 8\r\n",
        "c=IN IP4 203.0.113.10\r\n", "a=mid:0\r\n", "a=rtcp-mux\r\n", "a=rtpmap:8 PCMA/8000\r\n",
        "a=ice-ufrag:abcd1234\r\n", "a=fingerprint:sha-256 AA:BB\r\n", "a=setup:passive\r\n",
        "a=candidate:1 1 udp 2130706431 203.0.113.10 20400 typ host\r\n"})
    EXPECT_NE(answer.find(line), std::string::npos) << line;
  EXPECT_EQ(answer.find("opus"), std::string::npos);
}

TEST(PageMessages, ReadsOfferAndDialAndNothingElse) {
  struct Case {
    const char* json;
    PageMessage::Type type;
    const char* text;
  } cases[] = {
      {R"({"offer":"v=0\r\n"})", PageMessage::Type::kOffer, "v=0\r\n"},
      {R"({"dial":"3368"})", PageMessage::Type::kDial, "3368"},
      {R"({"dial":3368})", PageMessage::Type::kInvalid, nullptr},
      {R"({"dial":"1","offer":"2"})", PageMessage::Type::kInvalid, nullptr},
      {R"({"hangup":true})", PageMessage::Type::kInvalid, nullptr},
      {R"(["dial"])", PageMessage::Type::kInvalid, nullptr},
      {"{\"dial\":", PageMessage::Type::kInvalid, nullptr},
  };
  for (const Case& c : cases) {
    PageMessage m = ReadPageMessage(c.json);
    EXPECT_EQ(m.type, c.type) << c.json;
    if (c.text != nullptr) {
      EXPECT_EQ(m.text, c.text) << c.json;
    }
  }
  EXPECT_EQ(TagMessage("{ChanelWaitBohao}"), R"({"tag":"{ChanelWaitBohao}"})");
  EXPECT_EQ(ReadPageMessage(AnswerMessage("v=0\r\n\"x\"")).type, PageMessage::Type::kInvalid);
  EXPECT_EQ(AnswerMessage("a\r\n\"b\""), R"({"answer":"a\r\n\"b\""})");
}

TEST(OriginCheck, OwnHostUnlessTheVenueListsOrigins) {
  const std::vector<std::string> none;
  const std::vector<std::string> listed = {"https://call.example.org"};
  struct Case {
    const char* origin;
    const char* host;
    const std::vector<std::string>& allowed;
    bool ok;
  } cases[] = {
      {"http://127.0.0.1:8080", "127.0.0.1:8080", none, true},
      {"HTTPS://Call.Example.org", "call.example.org", none, true},
      {"http://127.0.0.1:8081", "127.0.0.1:8080", none, false},
      {"https://evil.example", "call.example.org", none, false},
      {"", "127.0.0.1:8080", none, false},
      {"null", "127.0.0.1:8080", none, false},
      {"file://127.0.0.1:8080", "127.0.0.1:8080", none, false},
      {"https://call.example.org", "10.0.0.5:8080", listed, true},
      {"http://10.0.0.5:8080", "10.0.0.5:8080", listed, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(OriginAllowed(c.origin, c.host, c.allowed), c.ok) << c.origin << " on " << c.host;
}

TEST(ForwardedFor, BelievesOnlyTheLastAddressAndOnlyFromAListedProxy) {
  struct Case {
    const char* header;
    std::optional<uint32_t> visitor;
  } cases[] = {
      {"198.51.100.4", 0xC6336404},
      {"10.9.9.9, 198.51.100.4", 0xC6336404},  // the first one is whatever the visitor claimed
      {" 198.51.100.4 ", 0xC6336404},
      {"198.51.100.4, unknown", std::nullopt},
      {"2001:db8::1", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LastForwardedAddress(c.header), c.visitor) << c.header;
  EXPECT_TRUE(IsTrustedProxy(0x7F000001, {"10.0.0.1", "127.0.0.1"}));
  EXPECT_FALSE(IsTrustedProxy(0x7F000002, {"127.0.0.1"}));
}

}  // namespace
}  // namespace exchange
