#include "voice/recording_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_mixer.h"
#include "fakes/fake_ports.h"

namespace pelvarine {
namespace {

using ::testing::ElementsAre;
using testing::FakeMixer;
using testing::FakeSystem;
using ::testing::IsEmpty;

constexpr uint32_t kMultipleSelect = 0x71010000;  // MIXERCONTROL_CONTROLTYPE_MULTIPLESELECT
constexpr uint32_t kSrcLine = 0x1002;
constexpr uint32_t kSrcCompactDisc = 0x1005;

class RecordingSourceTest : public ::testing::Test {
 protected:
  FakeMixer mixer;
  FakeSystem system;
  RecordingSource source{mixer, system};
};

// ---- Selecting the microphone ---------------------------------------------------------------------

TEST_F(RecordingSourceTest, SingleSelectListEndsWithOnlyTheMicrophoneSelected) {
  for (uint32_t type : {kMixerControlSingleSelect, kMixerControlMux}) {
    mixer.SetSourceList(type, {"Microphone", "Line In", "CD Audio"}, {0, 1, 0});
    EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
    EXPECT_THAT(mixer.ItemValues(), ElementsAre(1u, 0u, 0u)) << std::hex << type;
  }
}

TEST_F(RecordingSourceTest, MultipleSelectListKeepsWhatWasSelectedAndAddsEveryMicrophone) {
  mixer.SetSourceList(kMultipleSelect, {"Line In", "Microphone", "CD Audio", "Mic Boost"}, {1, 0, 0, 0});
  EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(1u, 1u, 0u, 1u));
}

TEST_F(RecordingSourceTest, ListTypesJustOutsideTheSingleSelectRangeAreMultipleSelect) {
  for (uint32_t type : {0x70010002u, 0x7000FFFFu}) {
    mixer.SetSourceList(type, {"Line In", "Microphone"}, {1, 0});
    EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
    EXPECT_THAT(mixer.ItemValues(), ElementsAre(1u, 1u)) << std::hex << type;
  }
}

TEST_F(RecordingSourceTest, OnlyMicInThisCaseOrTheChineseWordMatches) {
  mixer.SetSourceList(kMixerControlMux, {"MIC Input", "mic", "Line In", "Mi"}, {0, 0, 1, 0});
  EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(0u, 0u, 0u, 0u));

  mixer.SetSourceList(kMixerControlMux, {"线路输入", "麦克风", "麦克", "前置麦克风"}, {1, 0, 0, 0});
  EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(0u, 1u, 0u, 0u));
}

TEST_F(RecordingSourceTest, EveryMicrophoneNamedItemIsSelected) {
  mixer.SetSourceList(kMixerControlMux, {"Mic 1", "Line In", "Mic 2", "麦克风阵列"}, {0, 1, 0, 0});
  EXPECT_TRUE(source.SelectMicrophoneSource("whatever the caller remembered"));
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(1u, 0u, 1u, 1u));
  EXPECT_EQ(mixer.list_sets, 1);
}

TEST_F(RecordingSourceTest, ListWhoseLineReportsNoChannelsIsTakenAsOneChannel) {
  mixer.SetSourceList(kMixerControlMux, {"Line In", "Microphone"}, {1, 0});
  mixer.controls.back().flags &= ~kMixerControlUniform;
  mixer.destination.channels = 0;
  EXPECT_TRUE(source.ReadRecordingSource());
  EXPECT_STREQ(source.remembered_source_name(), "Line In");
  EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
  EXPECT_EQ(mixer.last_request_chans, 1u);
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(0u, 1u));
}

// ---- Reading the selected source ------------------------------------------------------------------

TEST_F(RecordingSourceTest, RemembersTheLastSelectedItem) {
  mixer.SetSourceList(kMultipleSelect, {"Microphone", "Line In", "CD Audio", "Aux"}, {1, 0, 1, 0});
  EXPECT_TRUE(source.ReadRecordingSource());
  EXPECT_STREQ(source.remembered_source_name(), "CD Audio");
  EXPECT_EQ(mixer.sets, 0);  // reading changes nothing

  mixer.SetSourceList(kMixerControlMux, {"Line In", "麦克风"}, {0, 1});
  EXPECT_TRUE(source.ReadRecordingSource());
  EXPECT_STREQ(source.remembered_source_name(), "麦克风");
}

TEST_F(RecordingSourceTest, NothingSelectedOrAFailedReadLeavesTheNameEmpty) {
  mixer.SetSourceList(kMixerControlMux, {"Microphone", "Line In"}, {0, 0});
  EXPECT_TRUE(source.ReadRecordingSource());
  EXPECT_STREQ(source.remembered_source_name(), "");

  mixer.SetSourceList(kMixerControlMux, {"Microphone", "Line In"}, {0, 1});
  ASSERT_TRUE(source.ReadRecordingSource());
  ASSERT_STREQ(source.remembered_source_name(), "Line In");
  mixer.fail["GetValues"] = 11;
  EXPECT_FALSE(source.ReadRecordingSource());
  EXPECT_STREQ(source.remembered_source_name(), "");
}

TEST_F(RecordingSourceTest, AnItemCountsAsSelectedOnlyWithTheValueOne) {
  mixer.SetSourceList(kMultipleSelect, {"Line In", "Microphone"}, {1, 2});
  EXPECT_TRUE(source.ReadRecordingSource());
  EXPECT_STREQ(source.remembered_source_name(), "Line In");
}

TEST_F(RecordingSourceTest, RecordingSourceListIsTheFirstListClassControl) {
  MixerControl volume;
  volume.control_id = 5;
  volume.control_type = kMixerControlVolume;
  mixer.controls.push_back(volume);
  mixer.SetSourceList(kMixerControlMux, {"Line In", "Microphone"}, {1, 0});
  MixerControl later_list;
  later_list.control_id = 6;
  later_list.control_type = kMultipleSelect;
  mixer.controls.push_back(later_list);
  EXPECT_TRUE(source.ReadRecordingSource());
  EXPECT_STREQ(source.remembered_source_name(), "Line In");
  EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(0u, 1u));
}

TEST_F(RecordingSourceTest, LineWithoutAListControlFails) {
  MixerControl volume;
  volume.control_id = 5;
  volume.control_type = kMixerControlVolume;
  mixer.controls.push_back(volume);
  EXPECT_FALSE(source.ReadRecordingSource());
  EXPECT_FALSE(source.SelectMicrophoneSource("Mic"));
  mixer.controls.clear();  // a line with no controls at all
  EXPECT_FALSE(source.ReadRecordingSource());
  EXPECT_FALSE(source.SelectMicrophoneSource("Mic"));
  EXPECT_EQ(mixer.opens, 4);
  EXPECT_EQ(mixer.closes, 4);
  EXPECT_THAT(system.boxes, IsEmpty());
}

// ---- The microphone's volume ----------------------------------------------------------------------

TEST_F(RecordingSourceTest, VolumeIsTheSumOfTheBoundsRoundedDownToTensTimesTheMultiplier) {
  struct Case {
    uint32_t minimum, maximum;
    int32_t multiplier;
    uint32_t expected;
  };
  for (const Case& c : {Case{0, 15, 10, 10}, Case{0, 100, 10, 100}, Case{0, 65535, 10, 65530},
                        Case{5, 100, 10, 100}, Case{0, 65535, 3, 19659}, Case{0, 9, 10, 0}}) {
    FakeMixer m;
    m.AddSource(kMixerSrcMicrophone, 1, c.minimum, c.maximum, true);
    RecordingSource s{m, system};
    EXPECT_TRUE(s.SetMicrophoneVolume(c.multiplier));
    EXPECT_THAT(m.sources[0].volume_values, ElementsAre(c.expected))
        << c.minimum << ".." << c.maximum << " x" << c.multiplier;
  }
}

TEST_F(RecordingSourceTest, VolumeGoesOnTheFirstAndLastChannelOfANonUniformControl) {
  mixer.AddSource(kMixerSrcMicrophone, 2, 0, 100, false);
  EXPECT_TRUE(source.SetMicrophoneVolume(10));
  EXPECT_THAT(mixer.sources[0].volume_values, ElementsAre(100u, 100u));

  FakeMixer three;
  three.AddSource(kMixerSrcMicrophone, 3, 0, 15, false);
  RecordingSource s{three, system};
  EXPECT_TRUE(s.SetMicrophoneVolume(10));
  EXPECT_THAT(three.sources[0].volume_values, ElementsAre(10u, 7u, 10u));  // the middle keeps its value
}

TEST_F(RecordingSourceTest, VolumeOfTheMicrophoneLineOnlyWhereverItStands) {
  mixer.AddSource(kSrcLine, 2, 0, 65535, true);
  mixer.AddSource(kSrcCompactDisc, 2, 0, 65535, true);
  mixer.AddSource(kMixerSrcMicrophone, 1, 0, 65535, true);
  EXPECT_TRUE(source.SetMicrophoneVolume(10));
  EXPECT_THAT(mixer.sources[0].volume_values, ElementsAre(7u));
  EXPECT_THAT(mixer.sources[1].volume_values, ElementsAre(7u));
  EXPECT_THAT(mixer.sources[2].volume_values, ElementsAre(65530u));
}

TEST_F(RecordingSourceTest, WithoutAMicrophoneLineNoVolumeIsSet) {
  mixer.AddSource(kSrcLine, 2, 0, 65535, true);
  mixer.AddSource(kSrcCompactDisc, 2, 0, 65535, true);
  EXPECT_FALSE(source.SetMicrophoneVolume(10));
  EXPECT_EQ(mixer.sets, 0);
  EXPECT_THAT(mixer.sources[1].volume_values, ElementsAre(7u));

  FakeMixer none;  // a destination with no source lines at all
  RecordingSource s{none, system};
  EXPECT_FALSE(s.SetMicrophoneVolume(10));
  EXPECT_EQ(none.sets, 0);
}

TEST_F(RecordingSourceTest, MicrophoneLineWithoutAVolumeControlFails) {
  mixer.AddSource(kMixerSrcMicrophone, 1, 0, 65535, true);
  mixer.sources[0].has_volume = false;
  EXPECT_FALSE(source.SetMicrophoneVolume(10));
  EXPECT_EQ(mixer.sets, 0);
}

// ---- The mixer is closed on every way out ---------------------------------------------------------

class MixerFailureTest : public RecordingSourceTest {
 protected:
  MixerFailureTest() {
    mixer.SetSourceList(kMixerControlMux, {"Line In", "Microphone"}, {1, 0});
    mixer.AddSource(kMixerSrcMicrophone, 1, 0, 65535, true);
  }
  // Runs `op` once with `step` failing; it must fail, and leave the mixer closed as often as opened.
  template <typename Op>
  void ExpectFailure(const std::string& step, Op op) {
    mixer.fail = {{step, 7}};
    int opens = mixer.opens, closes = mixer.closes;
    EXPECT_FALSE(op()) << step;
    EXPECT_EQ(mixer.opens - opens, step == "Open" ? 0 : 1) << step;
    EXPECT_EQ(mixer.closes - closes, mixer.opens - opens) << step;
    mixer.fail.clear();
  }
};

TEST_F(MixerFailureTest, ReadFailsAtEveryStepAndClosesTheMixer) {
  for (const char* step : {"Open", "GetDestinationLine", "GetLineControls", "GetListTexts", "GetValues"})
    ExpectFailure(step, [&] { return source.ReadRecordingSource(); });
  EXPECT_TRUE(source.ReadRecordingSource());
  EXPECT_EQ(mixer.opens, mixer.closes);
  EXPECT_THAT(system.boxes, IsEmpty());
}

TEST_F(MixerFailureTest, SelectionFailsAtEveryStepAndClosesTheMixer) {
  for (const char* step :
       {"Open", "GetDestinationLine", "GetLineControls", "GetListTexts", "GetValues", "SetValues"})
    ExpectFailure(step, [&] { return source.SelectMicrophoneSource("Mic"); });
  EXPECT_THAT(mixer.ItemValues(), ElementsAre(1u, 0u));  // nothing was written
  EXPECT_TRUE(source.SelectMicrophoneSource("Mic"));
  EXPECT_EQ(mixer.opens, mixer.closes);
}

TEST_F(MixerFailureTest, VolumeFailsAtEveryStepAndClosesTheMixer) {
  for (const char* step :
       {"Open", "GetDestinationLine", "GetSourceLine", "GetLineControlByType", "GetValues", "SetValues"})
    ExpectFailure(step, [&] { return source.SetMicrophoneVolume(10); });
  EXPECT_TRUE(source.SetMicrophoneVolume(10));
  EXPECT_EQ(mixer.opens, mixer.closes);
  EXPECT_THAT(system.boxes, IsEmpty());
}

TEST_F(MixerFailureTest, OnlyTheSelectionTellsTheUserThatTheMixerWouldNotOpen) {
  mixer.fail = {{"Open", 2}};
  EXPECT_FALSE(source.ReadRecordingSource());
  EXPECT_FALSE(source.SetMicrophoneVolume(10));
  EXPECT_THAT(system.boxes, IsEmpty());
  EXPECT_FALSE(source.SelectMicrophoneSource("Mic"));
  ASSERT_EQ(system.boxes.size(), 1u);
  EXPECT_EQ(system.boxes[0].text, "Error mixerOpen");
  EXPECT_EQ(system.boxes[0].type, kMessageBoxOk);

  // Any other failure of the selection is silent.
  mixer.fail = {{"GetListTexts", 2}};
  EXPECT_FALSE(source.SelectMicrophoneSource("Mic"));
  EXPECT_EQ(system.boxes.size(), 1u);
}

TEST(MicrophoneName, MatchesMicOrTheChineseWordAtTheStart) {
  EXPECT_TRUE(RecordingSource::IsMicrophoneName("Mic"));
  EXPECT_TRUE(RecordingSource::IsMicrophoneName("Microphone"));
  EXPECT_TRUE(RecordingSource::IsMicrophoneName("麦克风"));
  EXPECT_TRUE(RecordingSource::IsMicrophoneName("麦克风 (Realtek)"));
  EXPECT_FALSE(RecordingSource::IsMicrophoneName("MIC"));
  EXPECT_FALSE(RecordingSource::IsMicrophoneName("mic"));
  EXPECT_FALSE(RecordingSource::IsMicrophoneName("Mi"));
  EXPECT_FALSE(RecordingSource::IsMicrophoneName(" Mic"));
  EXPECT_FALSE(RecordingSource::IsMicrophoneName("麦克"));
  EXPECT_FALSE(RecordingSource::IsMicrophoneName(""));
}

}  // namespace
}  // namespace pelvarine
