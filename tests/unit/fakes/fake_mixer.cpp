#include "fakes/fake_mixer.h"

#include <algorithm>
#include <cstring>

namespace pelvarine::testing {
namespace {
constexpr uint32_t kListControlId = 900;
constexpr uint32_t kNotFound = 1024;  // the mixer's "invalid" result
}  // namespace

FakeMixer::FakeMixer() {
  destination.destination = 1;
  destination.line_id = 0xFFFF0001;
  destination.component_type = kMixerDstWaveIn;
  destination.channels = 1;
}

uint32_t FakeMixer::Fail(const std::string& name) const {
  auto it = fail.find(name);
  return it == fail.end() ? 0 : it->second;
}

uint32_t FakeMixer::Open(MixerHandle* mixer) {
  if (uint32_t r = Fail("Open")) return r;
  ++opens;
  *mixer = &token_;
  return 0;
}

uint32_t FakeMixer::Close(MixerHandle) {
  ++closes;
  return 0;
}

uint32_t FakeMixer::GetDestinationLine(MixerHandle, uint32_t component_type, MixerLine* line) {
  if (uint32_t r = Fail("GetDestinationLine")) return r;
  if (component_type != kMixerDstWaveIn) return kNotFound;
  *line = destination;
  line->controls = static_cast<uint32_t>(controls.size());
  line->connections = static_cast<uint32_t>(sources.size());
  return 0;
}

uint32_t FakeMixer::GetSourceLine(MixerHandle, uint32_t dest, uint32_t source, MixerLine* line) {
  if (uint32_t r = Fail("GetSourceLine")) return r;
  if (dest != destination.destination || source >= sources.size()) return kNotFound;
  *line = sources[source].line;
  return 0;
}

uint32_t FakeMixer::GetLineControls(MixerHandle, uint32_t line_id, uint32_t count, MixerControl* out) {
  if (uint32_t r = Fail("GetLineControls")) return r;
  if (line_id != destination.line_id || count != controls.size()) return kNotFound;
  std::copy(controls.begin(), controls.end(), out);
  return 0;
}

uint32_t FakeMixer::GetLineControlByType(MixerHandle, uint32_t line_id, uint32_t control_type,
                                         MixerControl* out) {
  if (uint32_t r = Fail("GetLineControlByType")) return r;
  for (FakeSourceLine& s : sources) {
    if (s.line.line_id == line_id && s.has_volume && control_type == kMixerControlVolume) {
      *out = s.volume;
      return 0;
    }
  }
  return kNotFound;
}

uint32_t FakeMixer::GetListTexts(MixerHandle, uint32_t control_id, uint32_t channels, uint32_t items,
                                 MixerListText* texts) {
  if (uint32_t r = Fail("GetListTexts")) return r;
  if (control_id != kListControlId) return kNotFound;
  last_request_chans = channels;
  last_request_items = items;
  size_t entries = std::min<size_t>(list_texts.size(), size_t{channels} * std::max<uint32_t>(items, 1));
  std::copy_n(list_texts.begin(), entries, texts);
  return 0;
}

uint32_t FakeMixer::GetValues(MixerHandle, uint32_t control_id, uint32_t channels, uint32_t items,
                              uint32_t* values) {
  if (uint32_t r = Fail("GetValues")) return r;
  size_t entries = size_t{channels} * std::max<uint32_t>(items, 1);
  if (control_id == kListControlId) {
    std::copy_n(list_values.begin(), std::min(entries, list_values.size()), values);
    return 0;
  }
  if (FakeSourceLine* s = SourceByControl(control_id)) {
    std::copy_n(s->volume_values.begin(), std::min(entries, s->volume_values.size()), values);
    return 0;
  }
  return kNotFound;
}

uint32_t FakeMixer::SetValues(MixerHandle, uint32_t control_id, uint32_t channels, uint32_t items,
                              const uint32_t* values) {
  if (uint32_t r = Fail("SetValues")) return r;
  ++sets;
  size_t entries = size_t{channels} * std::max<uint32_t>(items, 1);
  if (control_id == kListControlId) {
    if (fail_list_set) return fail_list_set;
    ++list_sets;
    list_values.assign(values, values + std::min(entries, list_values.size()));
    return 0;
  }
  if (FakeSourceLine* s = SourceByControl(control_id)) {
    s->volume_values.assign(values, values + std::min(entries, s->volume_values.size()));
    return 0;
  }
  return kNotFound;
}

void FakeMixer::SetSourceList(uint32_t control_type, const std::vector<std::string>& names,
                              const std::vector<uint32_t>& values, uint32_t chans) {
  MixerControl list;
  list.control_id = kListControlId;
  list.control_type = control_type;
  list.flags = kMixerControlMultiple | (chans == 1 ? kMixerControlUniform : 0);
  list.multiple_items = static_cast<uint32_t>(names.size());
  controls.erase(std::remove_if(controls.begin(), controls.end(),
                                [](const MixerControl& c) { return c.control_id == kListControlId; }),
                 controls.end());
  controls.push_back(list);
  destination.channels = chans;
  list_chans = chans;
  list_texts.assign(size_t{chans} * names.size(), MixerListText{});
  list_values.assign(size_t{chans} * names.size(), 0);
  for (size_t i = 0; i < names.size(); ++i) {
    for (uint32_t c = 0; c < chans; ++c) {
      MixerListText& text = list_texts[i * chans + c];
      std::memcpy(text.name, names[i].data(), std::min(names[i].size(), sizeof text.name));
      list_values[i * chans + c] = values[i];
    }
  }
}

std::vector<uint32_t> FakeMixer::ItemValues() const {
  std::vector<uint32_t> values;
  for (size_t i = 0; i < list_values.size(); i += list_chans)
    values.push_back(list_values[i]);
  return values;
}

void FakeMixer::AddSource(uint32_t component_type, uint32_t channels, uint32_t minimum, uint32_t maximum,
                          bool uniform) {
  FakeSourceLine s;
  s.line.destination = destination.destination;
  s.line.source = static_cast<uint32_t>(sources.size());
  s.line.line_id = 0x1000 + s.line.source;
  s.line.component_type = component_type;
  s.line.channels = channels;
  s.volume.control_id = 0x2000 + s.line.source;
  s.volume.control_type = kMixerControlVolume;
  s.volume.flags = uniform ? kMixerControlUniform : 0;
  s.volume.minimum = minimum;
  s.volume.maximum = maximum;
  s.volume_values.assign(uniform ? 1 : channels, 7);
  sources.push_back(s);
}

FakeSourceLine* FakeMixer::SourceByControl(uint32_t control_id) {
  for (FakeSourceLine& s : sources)
    if (s.volume.control_id == control_id) return &s;
  return nullptr;
}

}  // namespace pelvarine::testing
