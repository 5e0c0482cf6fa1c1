#include "platform/win32/win32_mixer.h"

#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/win32/gbk_text.h"

namespace pelvarine::win32 {
namespace {

static_assert(sizeof(MixerListText) == 72);
static_assert(sizeof(MIXERCONTROLDETAILS_BOOLEAN) == 4 && sizeof(MIXERCONTROLDETAILS_UNSIGNED) == 4);
static_assert(kMixerDstWaveIn == MIXERLINE_COMPONENTTYPE_DST_WAVEIN &&
              kMixerSrcMicrophone == MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE);
static_assert(kMixerControlClassList == MIXERCONTROL_CT_CLASS_LIST &&
              kMixerControlSingleSelect == MIXERCONTROL_CONTROLTYPE_SINGLESELECT &&
              kMixerControlMux == MIXERCONTROL_CONTROLTYPE_MUX &&
              kMixerControlVolume == MIXERCONTROL_CONTROLTYPE_VOLUME);
static_assert(kMixerControlUniform == MIXERCONTROL_CONTROLF_UNIFORM &&
              kMixerControlMultiple == MIXERCONTROL_CONTROLF_MULTIPLE);

HMIXEROBJ Object(MixerHandle mixer) {
  return reinterpret_cast<HMIXEROBJ>(mixer);
}

void CopyName(const wchar_t* name, char* out, size_t size) {
  std::string gbk = GbkFromWide(name);
  std::memset(out, 0, size);
  std::memcpy(out, gbk.data(), std::min(gbk.size(), size - 1));
}

void FromPlatform(const MIXERLINEW& in, MixerLine* out) {
  out->destination = in.dwDestination;
  out->source = in.dwSource;
  out->line_id = in.dwLineID;
  out->flags = in.fdwLine;
  out->component_type = in.dwComponentType;
  out->channels = in.cChannels;
  out->connections = in.cConnections;
  out->controls = in.cControls;
  CopyName(in.szName, out->name, sizeof out->name);
}

void FromPlatform(const MIXERCONTROLW& in, MixerControl* out) {
  out->control_id = in.dwControlID;
  out->control_type = in.dwControlType;
  out->flags = in.fdwControl;
  out->multiple_items = in.cMultipleItems;
  out->minimum = in.Bounds.dwMinimum;
  out->maximum = in.Bounds.dwMaximum;
}

MIXERCONTROLDETAILS Details(uint32_t control_id, uint32_t channels, uint32_t items, DWORD entry_size,
                            void* entries) {
  MIXERCONTROLDETAILS details = {};
  details.cbStruct = sizeof details;
  details.dwControlID = control_id;
  details.cChannels = channels;
  details.cMultipleItems = items;
  details.cbDetails = entry_size;
  details.paDetails = entries;
  return details;
}

uint32_t GetLine(MixerHandle mixer, MIXERLINEW* line, DWORD flags, MixerLine* out) {
  line->cbStruct = sizeof *line;
  MMRESULT result = mixerGetLineInfoW(Object(mixer), line, flags | MIXER_OBJECTF_HMIXER);
  if (result == MMSYSERR_NOERROR) FromPlatform(*line, out);
  return result;
}

}  // namespace

uint32_t Win32Mixer::Open(MixerHandle* mixer) {
  HMIXER handle = nullptr;
  MMRESULT result = mixerOpen(&handle, 0, 0, 0, 0);
  *mixer = handle;
  return result;
}

uint32_t Win32Mixer::Close(MixerHandle mixer) {
  return mixerClose(static_cast<HMIXER>(mixer));
}

uint32_t Win32Mixer::GetDestinationLine(MixerHandle mixer, uint32_t component_type, MixerLine* line) {
  MIXERLINEW platform = {};
  platform.dwComponentType = component_type;
  return GetLine(mixer, &platform, MIXER_GETLINEINFOF_COMPONENTTYPE, line);
}

uint32_t Win32Mixer::GetSourceLine(MixerHandle mixer, uint32_t destination, uint32_t source,
                                   MixerLine* line) {
  MIXERLINEW platform = {};
  platform.dwDestination = destination;
  platform.dwSource = source;
  return GetLine(mixer, &platform, MIXER_GETLINEINFOF_SOURCE, line);
}

uint32_t Win32Mixer::GetLineControls(MixerHandle mixer, uint32_t line_id, uint32_t count,
                                     MixerControl* controls) {
  std::vector<MIXERCONTROLW> platform(count);
  for (MIXERCONTROLW& control : platform)
    control.cbStruct = sizeof control;
  MIXERLINECONTROLSW request = {};
  request.cbStruct = sizeof request;
  request.dwLineID = line_id;
  request.cControls = count;
  request.cbmxctrl = sizeof(MIXERCONTROLW);
  request.pamxctrl = platform.data();
  MMRESULT result =
      mixerGetLineControlsW(Object(mixer), &request, MIXER_GETLINECONTROLSF_ALL | MIXER_OBJECTF_HMIXER);
  if (result == MMSYSERR_NOERROR) {
    for (uint32_t i = 0; i < count; ++i)
      FromPlatform(platform[i], &controls[i]);
  }
  return result;
}

uint32_t Win32Mixer::GetLineControlByType(MixerHandle mixer, uint32_t line_id, uint32_t control_type,
                                          MixerControl* control) {
  MIXERCONTROLW platform = {};
  platform.cbStruct = sizeof platform;
  MIXERLINECONTROLSW request = {};
  request.cbStruct = sizeof request;
  request.dwLineID = line_id;
  request.dwControlType = control_type;
  request.cControls = 1;
  request.cbmxctrl = sizeof platform;
  request.pamxctrl = &platform;
  MMRESULT result =
      mixerGetLineControlsW(Object(mixer), &request, MIXER_GETLINECONTROLSF_ONEBYTYPE | MIXER_OBJECTF_HMIXER);
  if (result == MMSYSERR_NOERROR) FromPlatform(platform, control);
  return result;
}

uint32_t Win32Mixer::GetListTexts(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                                  MixerListText* texts) {
  size_t entries = size_t{channels} * std::max<uint32_t>(items, 1);
  std::vector<MIXERCONTROLDETAILS_LISTTEXTW> platform(entries);
  MIXERCONTROLDETAILS details =
      Details(control_id, channels, items, sizeof(MIXERCONTROLDETAILS_LISTTEXTW), platform.data());
  MMRESULT result = mixerGetControlDetailsW(Object(mixer), &details,
                                            MIXER_GETCONTROLDETAILSF_LISTTEXT | MIXER_OBJECTF_HMIXER);
  if (result == MMSYSERR_NOERROR) {
    for (size_t i = 0; i < entries; ++i) {
      texts[i].param1 = platform[i].dwParam1;
      texts[i].param2 = platform[i].dwParam2;
      CopyName(platform[i].szName, texts[i].name, sizeof texts[i].name);
    }
  }
  return result;
}

uint32_t Win32Mixer::GetValues(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                               uint32_t* values) {
  MIXERCONTROLDETAILS details = Details(control_id, channels, items, sizeof(uint32_t), values);
  return mixerGetControlDetailsW(Object(mixer), &details,
                                 MIXER_GETCONTROLDETAILSF_VALUE | MIXER_OBJECTF_HMIXER);
}

uint32_t Win32Mixer::SetValues(MixerHandle mixer, uint32_t control_id, uint32_t channels, uint32_t items,
                               const uint32_t* values) {
  MIXERCONTROLDETAILS details =
      Details(control_id, channels, items, sizeof(uint32_t), const_cast<uint32_t*>(values));
  return mixerSetControlDetails(Object(mixer), &details,
                                MIXER_SETCONTROLDETAILSF_VALUE | MIXER_OBJECTF_HMIXER);
}

}  // namespace pelvarine::win32
