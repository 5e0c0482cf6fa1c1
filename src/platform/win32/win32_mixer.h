#pragma once
// winmm mixer calls on mixer device 0, with the platform's records at their own sizes.

#include "platform/mixer.h"

namespace pelvarine::win32 {

class Win32Mixer final : public Mixer {
 public:
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
};

}  // namespace pelvarine::win32
