#include "ui/status_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_ports.h"
#include "gbk.h"

namespace pelvarine {
namespace {

using ::testing::ElementsAre;
using testing::FakeTextPanel;
using testing::Utf8Lines;

std::string JoinRows(const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& row : rows)
    text += row + "\r\n";
  return text;
}

class StatusLogTest : public ::testing::Test {
 protected:
  StatusLogTest() { log.SetLineTerminator(kCrLf); }
  FakeTextPanel panel;
  StatusLog log{panel};
};

TEST_F(StatusLogTest, AppendsLineWithTerminator) {
  log.AppendStatusLine("abc");
  log.AppendStatusLine("");
  EXPECT_EQ(panel.text, "abc\r\n\r\n");
}

// The panel scrolls as Windows' edit control does, which lets the empty row after the last line break
// reach the top.
TEST_F(StatusLogTest, LinesThatFitAreAllShownFromTheTop) {
  log.AppendStatusLine("已摘机...");
  EXPECT_THAT(Utf8Lines(JoinRows(panel.ShownRows())), ElementsAre(u8"已摘机...", ""));
  log.AppendStatusLine("正在联系");
  log.AppendStatusLine("订房电话");
  EXPECT_THAT(Utf8Lines(JoinRows(panel.ShownRows())),
              ElementsAre(u8"已摘机...", u8"正在联系", u8"订房电话", ""));
  EXPECT_EQ(panel.first_visible, 0);
}

TEST_F(StatusLogTest, NewestLineEndsAtTheBottomRowWhenTheLinesDoNotFit) {
  panel.visible_rows = 3;
  for (const char* line : {"a", "b", "c", "d"})
    log.AppendStatusLine(line);
  EXPECT_THAT(panel.ShownRows(), ElementsAre("b", "c", "d"));
  // A line wrapped over two rows counts as two.
  log.AppendStatusLine(std::string(40, 'e'));
  EXPECT_THAT(panel.ShownRows(), ElementsAre("d", std::string(28, 'e'), std::string(12, 'e')));
}

TEST_F(StatusLogTest, LineTallerThanThePanelShowsItsEnd) {
  panel.visible_rows = 2;
  log.AppendStatusLine(std::string(28 * 3, 'x') + "end");
  EXPECT_THAT(panel.ShownRows(), ElementsAre(std::string(28, 'x'), "end"));
}

TEST_F(StatusLogTest, SixtyBytesAreKeptSixtyOneAreCleared) {
  panel.text = std::string(60, 'a');
  log.AppendStatusLine("x");
  EXPECT_EQ(panel.text, std::string(60, 'a') + "x\r\n");
  panel.text = std::string(61, 'a');
  log.AppendStatusLine("y");
  EXPECT_EQ(panel.text, "y\r\n");
}

TEST_F(StatusLogTest, LongLineIsShownWholeAndClearedByTheNext) {
  std::string line(100, 'z');
  log.AppendStatusLine(line);
  EXPECT_EQ(panel.text, line + "\r\n");
  log.AppendStatusLine("next");
  EXPECT_EQ(panel.text, "next\r\n");
}

TEST_F(StatusLogTest, StartUpLinesFillFiftyEightBytesThenOffHookFitsAndTheNextClears) {
  log.AppendStatusLine("通过 Lan 接入互联网");
  log.AppendStatusLine("可以拨电话了");
  log.AppendStatusLine("请选择要通话的部门...");
  EXPECT_EQ(panel.text.size(), 58u);  // GBK: a Chinese character is two bytes
  log.AppendStatusLine("已摘机...");
  EXPECT_THAT(Utf8Lines(panel.text), ElementsAre(u8"通过 Lan 接入互联网", u8"可以拨电话了",
                                                 u8"请选择要通话的部门...", u8"已摘机..."));
  EXPECT_EQ(panel.text.size(), 69u);
  log.AppendStatusLine("正在联系");
  EXPECT_THAT(Utf8Lines(panel.text), ElementsAre(u8"正在联系"));
}

TEST_F(StatusLogTest, ClearEmptiesThePanel) {
  log.AppendStatusLine("abc");
  log.ClearStatusLog();
  EXPECT_EQ(panel.text, "");
}

}  // namespace
}  // namespace pelvarine
