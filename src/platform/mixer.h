#pragma once
// The audio mixer, shaped like winmm's mixer calls on mixer device 0. UI thread only.

#include <cstdint>

namespace pelvarine {

using MixerHandle = void*;

struct MixerLine {
  uint32_t destination = 0;
  uint32_t source = 0;
  uint32_t line_id = 0;
  uint32_t flags = 0;
  uint32_t component_type = 0;
  uint32_t channels = 0;
  uint32_t connections = 0;
  uint32_t controls = 0;
  char name[64] = {};
};

struct MixerControl {
  uint32_t control_id = 0;
  uint32_t control_type = 0;
  uint32_t flags = 0;
  uint32_t multiple_items = 0;
  uint32_t minimum = 0;  // bounds of an unsigned control
  uint32_t maximum = 0;
};

// Field for field the platform's list-text detail entry (72 bytes).
struct MixerListText {
  uint32_t param1 = 0;
  uint32_t param2 = 0;
  char name[64] = {};
};

constexpr uint32_t kMixerDstWaveIn = 7;
constexpr uint32_t kMixerSrcMicrophone = 0x1003;
constexpr uint32_t kMixerControlClassMask = 0xF0000000;
constexpr uint32_t kMixerControlClassList = 0x70000000;
constexpr uint32_t kMixerControlSingleSelect = 0x70010000;
constexpr uint32_t kMixerControlMux = 0x70010001;
constexpr uint32_t kMixerControlVolume = 0x50030001;
constexpr uint32_t kMixerControlUniform = 0x1;
constexpr uint32_t kMixerControlMultiple = 0x2;

// Every call returns the platform's result code; nonzero is failure.
class Mixer {
 public:
  virtual ~Mixer() = default;
  virtual uint32_t Open(MixerHandle* mixer) = 0;  // device 0, no callback
  virtual uint32_t Close(MixerHandle mixer) = 0;
  virtual uint32_t GetDestinationLine(MixerHandle mixer, uint32_t component_type, MixerLine* line) = 0;
  virtual uint32_t GetSourceLine(MixerHandle mixer, uint32_t destination, uint32_t source,
                                 MixerLine* line) = 0;
  // All `count` controls of a line, in the mixer's order.
  virtual uint32_t GetLineControls(MixerHandle mixer, uint32_t line_id, uint32_t count,
                                   MixerControl* controls) = 0;
  virtual uint32_t GetLineControlByType(MixerHandle mixer, uint32_t line_id, uint32_t control_type,
                                        MixerControl* control) = 0;
  // Details of a control: `channels` x `items` entries (items 0 counts as 1).
  virtual uint32_t GetListTexts(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                                MixerListText* texts) = 0;
  virtual uint32_t GetValues(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                             uint32_t* values) = 0;
  virtual uint32_t SetValues(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                             const uint32_t* values) = 0;
};

}  // namespace pelvarine
