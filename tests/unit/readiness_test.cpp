#include "app/readiness.h"

#include <string>
#include <vector>

#include "client_fixture.h"

namespace pelvarine::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ReadinessTest : public ClientTest {
 protected:
  // Every path ends with the department list filled and the auto-click timer started.
  void ExpectDepartmentsAndAutoClick() {
    EXPECT_EQ(controls.rows.size(), 3u);
    EXPECT_EQ(controls.selected, 0);
    ASSERT_EQ(controls.timers.count(kAutoClickTimer), 1u);
    EXPECT_EQ(controls.timers[kAutoClickTimer], 10);
  }
  std::vector<uint32_t> MicrophoneVolume() { return mixer.sources.at(0).volume_values; }
};

TEST_F(ReadinessTest, LanConnectionWithAWorkingMixerIsReadyToCall) {
  Start();
  EXPECT_THAT(AllLines(), ElementsAre(u8"通过 Lan 接入互联网", u8"可以拨电话了", u8"请选择要通话的部门..."));
  EXPECT_EQ(panel.text.size(), 58u);
  EXPECT_TRUE(session().audio_ready());
  EXPECT_STREQ(state().local_address, "192.168.1.20");
  EXPECT_EQ(client->audio().format().format_tag, kWaveFormatALaw);
  EXPECT_THAT(MicrophoneVolume(), ElementsAre(65530u));
  ASSERT_EQ(controls.timers.count(kOnlineLightTimer), 1u);
  EXPECT_EQ(controls.timers[kOnlineLightTimer], 200);
  ExpectDepartmentsAndAutoClick();
  // The dial controls of department mode, set up by the call-state reset.
  EXPECT_EQ(controls.password_char, '*');
  EXPECT_TRUE(controls.department_list_shown);
  EXPECT_FALSE(controls.number_inputs_shown);

  // Both lights start hidden; the online light blinks with its timer.
  EXPECT_FALSE(controls.online_light);
  EXPECT_FALSE(controls.talking_light);
  client->OnTimer(kOnlineLightTimer);
  EXPECT_TRUE(controls.online_light);
  client->OnTimer(kOnlineLightTimer);
  EXPECT_FALSE(controls.online_light);
}

TEST_F(ReadinessTest, ConnectionKindNamesTheLastMatchingFlagOfProxyLanModem) {
  struct Case {
    uint32_t flags;
    const char* line;
  };
  for (const Case& c : {Case{0x1, u8"通过 Modem 接入互联网"}, Case{0x4, u8"通过 Proxy 接入互联网"},
                        Case{0x6, u8"通过 Proxy 接入互联网"}, Case{0x3, u8"通过 Lan 接入互联网"},
                        Case{0x7, u8"通过 Proxy 接入互联网"}, Case{0xFA, u8"通过 Lan 接入互联网"}}) {
    panel.text.clear();
    panel.appended.clear();
    system.connection_flags = c.flags;
    Start();
    EXPECT_THAT(AllLines(), ElementsAre(c.line, u8"可以拨电话了", u8"请选择要通话的部门...")) << c.flags;
  }
}

TEST_F(ReadinessTest, ConnectedWithoutAKnownFlagShowsAnEmptyLine) {
  system.connection_flags = 0;
  Start();
  EXPECT_THAT(AllLines(), ElementsAre("", u8"可以拨电话了", u8"请选择要通话的部门..."));
  EXPECT_EQ(panel.text.substr(0, 2), "\r\n");
  EXPECT_EQ(controls.timers.count(kOnlineLightTimer), 1u);
}

TEST_F(ReadinessTest, NotConnectedAsksToGoOnlineButThePhoneButtonStillWorks) {
  system.connected = false;  // the flags still say LAN: the result decides
  Start();
  EXPECT_THAT(AllLines(), ElementsAre(u8"Err011:本机未接入互联网...", u8"请首先上网!"));
  EXPECT_EQ(controls.timers.count(kOnlineLightTimer), 0u);
  ExpectDepartmentsAndAutoClick();
  EXPECT_TRUE(session().audio_ready());
  EXPECT_STREQ(state().local_address, "192.168.1.20");
  EXPECT_FALSE(controls.online_light);

  ClearLog();
  Press();
  EXPECT_THAT(AllLines(), ElementsAre(u8"已摘机..."));
  EXPECT_TRUE(state().off_hook);
  EXPECT_EQ(network.streams.size(), 1u);
}

TEST_F(ReadinessTest, WithoutASoundCardNothingElseIsCheckedAndThePhoneButtonIsInert) {
  wave.product_name = "";
  Start();
  EXPECT_THAT(AllLines(), ElementsAre(u8"Err012:本机没有声卡", u8"无法使用本软件"));
  EXPECT_FALSE(session().audio_ready());
  EXPECT_STREQ(state().local_address, "");
  EXPECT_THAT(system.looked_up, IsEmpty());
  EXPECT_EQ(system.connection_queries, 0);
  EXPECT_EQ(mixer.opens, 0);
  EXPECT_EQ(controls.timers.count(kOnlineLightTimer), 0u);
  ExpectDepartmentsAndAutoClick();

  state().duplicate_send = true;
  ClearLog();
  Press();
  EXPECT_THAT(panel.appended, IsEmpty());
  EXPECT_FALSE(state().off_hook);
  EXPECT_TRUE(state().duplicate_send);  // the press changed no flag at all
  EXPECT_THAT(network.streams, IsEmpty());
}

TEST_F(ReadinessTest, DirectNumberModeAsksForANumberAndShowsItsInputs) {
  Start();
  client->window().SetDialMode(DialMode::kDirectNumber);
  ClearLog();
  client->readiness().RunReadinessChecks();
  EXPECT_THAT(AllLines(),
              ElementsAre(u8"通过 Lan 接入互联网", u8"可以拨电话了", u8"请输入电话（分机/外线）号码..."));
  EXPECT_TRUE(controls.number_inputs_shown);
  EXPECT_FALSE(controls.department_list_shown);
}

// ---- The microphone steps -------------------------------------------------------------------------

TEST_F(ReadinessTest, UnreadableSourceListSkipsSelectionAndVolume) {
  mixer.SetSourceList(kMixerControlMux, {"Microphone", "Line In"}, {0, 1});
  mixer.fail["GetListTexts"] = 1;
  Start();
  EXPECT_THAT(AllLines(), ElementsAre(u8"无法判断MIC是否选择", u8"通过 Lan 接入互联网", u8"可以拨电话了",
                                      u8"请选择要通话的部门..."));
  EXPECT_EQ(mixer.sets, 0);
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(0u, 1u));
  EXPECT_THAT(MicrophoneVolume(), ElementsAre(7u));
  EXPECT_TRUE(session().audio_ready());
  EXPECT_EQ(client->audio().format().format_tag, kWaveFormatALaw);
}

TEST_F(ReadinessTest, MixerThatWillNotOpenIsReportedAsAnUnreadableListWithoutABox) {
  mixer.fail["Open"] = 1;
  Start();
  EXPECT_EQ(AllLines().at(0), u8"无法判断MIC是否选择");
  EXPECT_THAT(system.boxes, IsEmpty());
  EXPECT_TRUE(session().audio_ready());
}

TEST_F(ReadinessTest, FailedSelectionStillSetsTheVolume) {
  mixer.SetSourceList(kMixerControlMux, {"Microphone", "Line In"}, {0, 1});
  mixer.fail_list_set = 1;
  Start();
  EXPECT_THAT(AllLines(), ElementsAre(u8"选择MIC出错", u8"通过 Lan 接入互联网", u8"可以拨电话了",
                                      u8"请选择要通话的部门..."));
  EXPECT_THAT(MicrophoneVolume(), ElementsAre(65530u));
}

TEST_F(ReadinessTest, FailedVolumeIsReportedAfterASuccessfulSelection) {
  mixer.SetSourceList(kMixerControlMux, {"Microphone", "Line In"}, {0, 1});
  mixer.fail["GetSourceLine"] = 1;
  Start();
  EXPECT_THAT(AllLines(), ElementsAre(u8"设置MIC音量出错!", u8"通过 Lan 接入互联网", u8"可以拨电话了",
                                      u8"请选择要通话的部门..."));
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(1u, 0u));
}

TEST_F(ReadinessTest, BothMixerFailuresInOrder) {
  mixer.SetSourceList(kMixerControlMux, {"Line In", "CD Audio"}, {1, 0});
  mixer.fail_list_set = 1;
  mixer.fail["GetLineControlByType"] = 1;
  Start();
  EXPECT_THAT(AllLines(), ElementsAre(u8"选择MIC出错", u8"设置MIC音量出错!", u8"通过 Lan 接入互联网",
                                      u8"可以拨电话了", u8"请选择要通话的部门..."));
  EXPECT_TRUE(session().audio_ready());
}

TEST_F(ReadinessTest, SelectionRunsUnlessTheSelectedSourceIsAlreadyAMicrophone) {
  struct Case {
    std::vector<std::string> names;
    std::vector<uint32_t> values;
    int selections;
  };
  for (const Case& c :
       {Case{{"Microphone", "Line In"}, {1, 0}, 0}, Case{{"麦克风", "线路输入"}, {1, 0}, 0},
        Case{{"MIC In", "Line In"}, {1, 0}, 1}, Case{{"mic", "Line In"}, {1, 0}, 1},
        Case{{"Microphone", "Line In"}, {0, 1}, 1}, Case{{"Microphone", "Line In"}, {0, 0}, 1}}) {
    mixer.SetSourceList(kMixerControlMux, c.names, c.values);
    mixer.list_sets = 0;
    Start();
    EXPECT_EQ(mixer.list_sets, c.selections) << c.names[0] << " " << c.values[0] << c.values[1];
  }
}

// ---- The local address ----------------------------------------------------------------------------

TEST_F(ReadinessTest, LocalAddressIsTheLastOneTheHostNameResolvesTo) {
  system.addresses = {{10, 0, 0, 1}, {192, 168, 5, 7}, {172, 16, 0, 3}};
  Start();
  EXPECT_STREQ(state().local_address, "172.16.0.3");
  EXPECT_THAT(system.looked_up, ElementsAre("visitor-pc"));

  system.addresses = {{255, 255, 255, 255}};
  Start();
  EXPECT_STREQ(state().local_address, "255.255.255.255");
}

TEST_F(ReadinessTest, NoHostNameOrNoAddressLeavesTheLocalAddressEmpty) {
  system.has_host_name = false;
  Start();
  EXPECT_STREQ(state().local_address, "");
  EXPECT_THAT(system.looked_up, IsEmpty());
  ExpectDepartmentsAndAutoClick();
  EXPECT_EQ(AllLines().at(0), u8"通过 Lan 接入互联网");

  system.has_host_name = true;
  system.addresses.clear();
  Start();
  EXPECT_STREQ(state().local_address, "");
}

}  // namespace
}  // namespace pelvarine::testing
