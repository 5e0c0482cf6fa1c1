#include "exchange/farend/sip/hunt_list.h"

#include <gtest/gtest.h>

namespace exchange {
namespace {

std::vector<std::string> Parsed(const std::string& target) {
  std::vector<std::string> extensions;
  std::string error;
  EXPECT_TRUE(ParseHuntList(target, &extensions, &error)) << target << ": " << error;
  return extensions;
}

TEST(HuntListTest, SplitsExtensionsInOrder) {
  EXPECT_EQ(Parsed("440"), (std::vector<std::string>{"440"}));
  EXPECT_EQ(Parsed("3381,3382,3390"), (std::vector<std::string>{"3381", "3382", "3390"}));
  EXPECT_EQ(Parsed(" 3381 , 3382"), (std::vector<std::string>{"3381", "3382"}));
  EXPECT_EQ(Parsed("*97#,+4930123,front-desk,ext_2.a"),
            (std::vector<std::string>{"*97#", "+4930123", "front-desk", "ext_2.a"}));
}

TEST(HuntListTest, RefusesWhatCouldDialElsewhere) {
  const std::string bad[] = {
      "",
      "   ",
      ",",
      "3381,",
      ",3381",
      "3381,,3382",
      "33 81",
      "3381;3382",
      "3381@evil",
      "sip:3381",
      "33%2081",
      "3381\r\n",
      "33<81>",
      "3381?x=y",
      "3381/2",
      "33\"81",
      "3381\t",
      "中文",
      std::string(kMaxExtensionLength + 1, '1'),
  };
  for (const std::string& target : bad) {
    std::vector<std::string> extensions{"untouched"};
    std::string error;
    EXPECT_FALSE(ParseHuntList(target, &extensions, &error)) << "'" << target << "'";
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(extensions, std::vector<std::string>{"untouched"});
  }
}

TEST(HuntListTest, BoundsTheListLength) {
  std::string sixteen;
  for (int i = 0; i < 16; ++i)
    sixteen += (i ? "," : "") + std::to_string(100 + i);
  EXPECT_EQ(Parsed(sixteen).size(), 16u);
  std::vector<std::string> extensions;
  std::string error;
  EXPECT_FALSE(ParseHuntList(sixteen + ",200", &extensions, &error));
  EXPECT_NE(error.find("16"), std::string::npos) << error;
  EXPECT_EQ(Parsed(std::string(kMaxExtensionLength, '7')).size(), 1u);
}

TEST(HuntListTest, EscapesHashInRequestUri) {
  EXPECT_EQ(EscapeExtension("*97#"), "*97%23");
  EXPECT_EQ(EscapeExtension("3381"), "3381");
}

}  // namespace
}  // namespace exchange
