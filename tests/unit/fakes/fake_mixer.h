#pragma once
// A mixer with one wave-in destination line: its controls (a recording-source list among them), the
// list's texts and values as the platform lays them out, and source lines with volume controls.

#include <map>
#include <string>
#include <vector>

#include "platform/mixer.h"

namespace pelvarine::testing {

struct FakeSourceLine {
  MixerLine line;
  bool has_volume = true;
  MixerControl volume;
  std::vector<uint32_t> volume_values;
};

class FakeMixer final : public Mixer {
 public:
  FakeMixer();

  uint32_t Open(MixerHandle* mixer) override;
  uint32_t Close(MixerHandle mixer) override;
  uint32_t GetDestinationLine(MixerHandle mixer, uint32_t component_type, MixerLine* line) override;
  uint32_t GetSourceLine(MixerHandle mixer, uint32_t destination, uint32_t source, MixerLine* line) override;
  uint32_t GetLineControls(MixerHandle mixer, uint32_t line_id, uint32_t count,
                           MixerControl* controls) override;
  uint32_t GetLineControlByType(MixerHandle mixer, uint32_t line_id, uint32_t control_type,
                                MixerControl* control) override;
  uint32_t GetListTexts(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                        MixerListText* texts) override;
  uint32_t GetValues(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                     uint32_t* values) override;
  uint32_t SetValues(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                     const uint32_t* values) override;

  // Replaces the recording-source list: one name per item, one value per item (chans copies each).
  void SetSourceList(uint32_t control_type, const std::vector<std::string>& names,
                     const std::vector<uint32_t>& values, uint32_t chans = 1);
  // The list's values as they are now, one per item (the first channel's).
  std::vector<uint32_t> ItemValues() const;
  void AddSource(uint32_t component_type, uint32_t channels, uint32_t minimum, uint32_t maximum,
                 bool uniform);

  std::map<std::string, uint32_t> fail;  // "Open", "GetDestinationLine", "GetListTexts", ...
  MixerLine destination;
  std::vector<MixerControl> controls;
  std::vector<MixerListText> list_texts;
  std::vector<uint32_t> list_values;
  uint32_t list_chans = 1;
  std::vector<FakeSourceLine> sources;
  int opens = 0;
  int closes = 0;
  int sets = 0;
  int list_sets = 0;           // successful writes of the recording-source list's values
  uint32_t fail_list_set = 0;  // nonzero: writing the list's values fails with this (the volume still works)
  uint32_t last_request_chans = 0;
  uint32_t last_request_items = 0;

 private:
  uint32_t Fail(const std::string& name) const;
  FakeSourceLine* SourceByControl(uint32_t control_id);
  int token_ = 0;
};

}  // namespace pelvarine::testing
