// The hostile mode's material keeps the shapes its scenarios rely on.
#include "hostile_material.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "exchange/protocol/wire_formats.h"

namespace exsim {
namespace {

using namespace exchange;

TEST(Hostile, TcpChunksHaveTheAdvertisedShapes) {
  std::vector<std::string> chunks = HostileTcpChunks(1);
  ASSERT_EQ(chunks.size(), 7u);
  EXPECT_NE(chunks[0].find('\0'), std::string::npos);
  EXPECT_NE(chunks[0][0], '{');
  EXPECT_EQ(chunks[1].size(), 1024u);
  EXPECT_EQ(chunks[1].find('\0'), std::string::npos);
  EXPECT_EQ(chunks[2].size(), 4000u);
  EXPECT_EQ(chunks[3], "{RemoteUDPPort}[" + std::string(200, '7') + "]");
  EXPECT_EQ(chunks[4], "{RemoteUDPPort}[99999999999999999999]");
  EXPECT_EQ(chunks[5], "{ChanelWaitBohao");
  EXPECT_EQ(chunks[6][0], ' ');
  EXPECT_EQ(HostileTcpChunks(1), chunks);  // reproducible
  EXPECT_NE(HostileTcpChunks(2)[2], chunks[2]);
}

TEST(Hostile, VoiceDatagramsCoverOversizeEmptyTinyAndBadSequences) {
  std::vector<std::string> d = HostileVoiceDatagrams(1, "10.0.0.1");
  std::vector<size_t> sizes;
  for (const std::string& x : d)
    sizes.push_back(x.size());
  EXPECT_NE(std::find(sizes.begin(), sizes.end(), 2000u), sizes.end());
  EXPECT_NE(std::find(sizes.begin(), sizes.end(), 0u), sizes.end());
  EXPECT_NE(std::find(sizes.begin(), sizes.end(), 1u), sizes.end());
  bool non_numeric = false;
  bool huge = false;
  for (const std::string& x : d) {
    std::optional<ServerVoice> v = ParseServerVoice(x);
    if (!v || v->address_text != "10.0.0.1") continue;
    if (v->sequence_text.find_first_not_of("0123456789") != std::string::npos) non_numeric = true;
    if (v->sequence_text.size() >= 16) huge = true;
  }
  EXPECT_TRUE(non_numeric);
  EXPECT_TRUE(huge);
}

}  // namespace
}  // namespace exsim
