#include "voice/recording_source.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace pelvarine {

// The recording-source list of the wave-in destination and its details, channel by item.
struct RecordingSource::SourceList {
  MixerControl control;
  bool single_select = false;
  uint32_t chans = 1;
  uint32_t items = 0;
  std::vector<MixerListText> texts;
  std::vector<uint32_t> values;
};

// Closes the mixer on every way out.
class RecordingSource::OpenMixer {
 public:
  explicit OpenMixer(Mixer& mixer) : mixer_(mixer) { opened_ = mixer_.Open(&handle_) == 0; }
  ~OpenMixer() {
    if (opened_) mixer_.Close(handle_);
  }
  OpenMixer(const OpenMixer&) = delete;
  OpenMixer& operator=(const OpenMixer&) = delete;
  bool opened() const { return opened_; }
  MixerHandle handle() const { return handle_; }

 private:
  Mixer& mixer_;
  MixerHandle handle_ = nullptr;
  bool opened_ = false;
};

namespace {

// A control that is not uniform has one value per channel of its line. A line reporting no channels is
// taken as one, so the item walk always moves on.
uint32_t ChannelsOf(const MixerControl& control, const MixerLine& line) {
  if (control.flags & kMixerControlUniform) return 1;
  return std::max<uint32_t>(line.channels, 1);
}

std::string_view ItemName(const MixerListText& text) {
  const void* nul = std::memchr(text.name, 0, sizeof text.name);
  size_t length = nul ? static_cast<const char*>(nul) - text.name : sizeof text.name;
  return std::string_view(text.name, length);
}

}  // namespace

bool RecordingSource::IsMicrophoneName(std::string_view name) {
  return name.substr(0, 3) == "Mic" || name.substr(0, 6) == "麦克风";
}

bool RecordingSource::ReadSourceList(MixerHandle mixer, SourceList* list) {
  MixerLine line;
  if (mixer_.GetDestinationLine(mixer, kMixerDstWaveIn, &line) != 0) return false;
  std::vector<MixerControl> controls(line.controls);
  if (controls.empty() || mixer_.GetLineControls(mixer, line.line_id, line.controls, controls.data()) != 0)
    return false;
  auto found = std::find_if(controls.begin(), controls.end(), [](const MixerControl& c) {
    return (c.control_type & kMixerControlClassMask) == kMixerControlClassList;
  });
  if (found == controls.end()) return false;

  list->control = *found;
  list->single_select =
      found->control_type >= kMixerControlSingleSelect && found->control_type <= kMixerControlMux;
  list->chans = ChannelsOf(*found, line);
  list->items = (found->flags & kMixerControlMultiple) ? found->multiple_items : 0;
  // The platform fills at least one entry per channel, even for a control that lists no items.
  size_t entries = static_cast<size_t>(list->chans) * std::max<uint32_t>(list->items, 1);
  list->texts.assign(entries, MixerListText{});
  list->values.assign(entries, 0);
  return mixer_.GetListTexts(mixer, found->control_id, list->chans, list->items, list->texts.data()) == 0 &&
         mixer_.GetValues(mixer, found->control_id, list->chans, list->items, list->values.data()) == 0;
}

bool RecordingSource::ReadRecordingSource() {
  std::memset(remembered_source_name_, 0, sizeof remembered_source_name_);
  OpenMixer mixer(mixer_);
  if (!mixer.opened()) return false;
  SourceList list;
  if (!ReadSourceList(mixer.handle(), &list)) return false;
  for (uint32_t k = 0; k < list.items; k += list.chans) {
    if (list.values[k] == 1 && list.values[k + list.chans - 1] == 1) {
      std::string_view name = ItemName(list.texts[k]);
      std::memset(remembered_source_name_, 0, sizeof remembered_source_name_);
      std::memcpy(remembered_source_name_, name.data(),
                  std::min(name.size(), sizeof remembered_source_name_ - 1));
    }
  }
  return true;
}

bool RecordingSource::SelectMicrophoneSource(std::string_view /*source_name*/) {
  OpenMixer mixer(mixer_);
  if (!mixer.opened()) {
    system_.ShowMessageBox("Error mixerOpen", "", kMessageBoxOk);
    return false;
  }
  SourceList list;
  if (!ReadSourceList(mixer.handle(), &list)) return false;
  for (uint32_t k = 0; k < list.items; k += list.chans) {
    uint32_t& first = list.values[k];
    uint32_t& last = list.values[k + list.chans - 1];
    if (IsMicrophoneName(ItemName(list.texts[k]))) {
      first = last = 1;
    } else if (list.single_select) {
      first = last = 0;
    }
  }
  return mixer_.SetValues(mixer.handle(), list.control.control_id, list.chans, list.items,
                          list.values.data()) == 0;
}

bool RecordingSource::SetMicrophoneVolume(int32_t multiplier) {
  OpenMixer mixer(mixer_);
  if (!mixer.opened()) return false;
  MixerLine destination;
  if (mixer_.GetDestinationLine(mixer.handle(), kMixerDstWaveIn, &destination) != 0) return false;
  MixerLine microphone;
  bool found = false;
  for (uint32_t i = 0; i < destination.connections && !found; ++i) {
    if (mixer_.GetSourceLine(mixer.handle(), destination.destination, i, &microphone) != 0) return false;
    found = microphone.component_type == kMixerSrcMicrophone;
  }
  if (!found) return false;

  MixerControl volume;
  if (mixer_.GetLineControlByType(mixer.handle(), microphone.line_id, kMixerControlVolume, &volume) != 0)
    return false;
  uint32_t chans = ChannelsOf(volume, microphone);
  std::vector<uint32_t> values(chans);
  if (mixer_.GetValues(mixer.handle(), volume.control_id, chans, 0, values.data()) != 0) return false;
  uint32_t level = static_cast<uint32_t>(multiplier) * ((volume.maximum + volume.minimum) / 10);
  values.front() = level;
  values.back() = level;
  return mixer_.SetValues(mixer.handle(), volume.control_id, chans, 0, values.data()) == 0;
}

}  // namespace pelvarine
