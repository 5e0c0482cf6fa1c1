#pragma once
// Makes the microphone the sound card's recording source and turns it up, through mixer 0's wave-in
// destination line. Each operation opens the mixer and closes it again before it returns. UI thread.

#include <cstdint>
#include <string_view>

#include "platform/mixer.h"
#include "platform/system.h"

namespace pelvarine {

class RecordingSource {
 public:
  RecordingSource(Mixer& mixer, System& system) : mixer_(mixer), system_(system) {}

  // Remembers the name of the selected recording source (empty when none is). False when the source list
  // cannot be read.
  bool ReadRecordingSource();
  // Selects every source whose name begins with "Mic" or "麦克风"; on a single-select list the others are
  // deselected. The name is not read (callers pass what they have). Shows "Error mixerOpen" when the mixer
  // cannot be opened.
  bool SelectMicrophoneSource(std::string_view source_name);
  // Sets the microphone line's volume to multiplier x ((maximum + minimum) / 10). False when there is no
  // microphone source line.
  bool SetMicrophoneVolume(int32_t multiplier);

  // GBK, NUL-terminated.
  const char* remembered_source_name() const { return remembered_source_name_; }

  static bool IsMicrophoneName(std::string_view name);

 private:
  struct SourceList;
  class OpenMixer;

  bool ReadSourceList(MixerHandle mixer, SourceList* list);

  Mixer& mixer_;
  System& system_;
  char remembered_source_name_[64] = {};
};

}  // namespace pelvarine
