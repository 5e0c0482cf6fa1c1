#include "app/readiness.h"

#include <cstdio>
#include <cstring>

namespace pelvarine {

void ReadinessChecks::RunReadinessChecks() {
  p_.session.ResetCallState();
  p_.controls.StartTimer(kAutoClickTimer, kAutoClickDelayMs);
  if (!CheckAudioReady()) {
    p_.session.SetAudioReady(false);
    p_.log.AppendStatusLine("Err012:本机没有声卡");
    p_.log.AppendStatusLine("无法使用本软件");
    p_.window.FillDepartmentList();
    return;
  }
  p_.session.SetAudioReady(true);
  FindLocalAddress();
  std::string kind;
  if (!GetConnectionKind(&kind)) {
    p_.log.AppendStatusLine("Err011:本机未接入互联网...");
    p_.log.AppendStatusLine("请首先上网!");
    p_.window.FillDepartmentList();
    return;
  }
  p_.controls.StartTimer(kOnlineLightTimer, kOnlineLightPeriodMs);
  p_.log.AppendStatusLine(kind);
  p_.log.AppendStatusLine("可以拨电话了");
  p_.log.AppendStatusLine(p_.window.dial_mode() == DialMode::kDepartment ? "请选择要通话的部门..."
                                                                         : "请输入电话（分机/外线）号码...");
  p_.window.FillDepartmentList();
}

bool ReadinessChecks::CheckAudioReady() {
  if (p_.wave.OutDeviceProductName(0).empty()) return false;
  if (!p_.recording.ReadRecordingSource()) {
    p_.log.AppendStatusLine("无法判断MIC是否选择");
  } else {
    if (!RecordingSource::IsMicrophoneName(p_.recording.remembered_source_name()) &&
        !p_.recording.SelectMicrophoneSource("Mic")) {
      p_.log.AppendStatusLine("选择MIC出错");
    }
    if (!p_.recording.SetMicrophoneVolume(kMicrophoneVolumeMultiplier))
      p_.log.AppendStatusLine("设置MIC音量出错!");
  }
  p_.audio.SetWaveFormat();
  return true;
}

void ReadinessChecks::FindLocalAddress() {
  std::memset(p_.state.local_address, 0, sizeof p_.state.local_address);
  std::string host;
  if (!p_.system.HostName(&host)) return;
  char text[kAddressTextSize] = {};
  for (const auto& address : p_.system.HostAddresses(host)) {
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
  }
  std::memcpy(p_.state.local_address, text, sizeof text);
}

bool ReadinessChecks::GetConnectionKind(std::string* kind) {
  uint32_t flags = 0;
  bool connected = p_.system.InternetConnectedState(&flags);
  if (flags & kConnectionModem) *kind = "通过 Modem 接入互联网";
  if (flags & kConnectionLan) *kind = "通过 Lan 接入互联网";
  if (flags & kConnectionProxy) *kind = "通过 Proxy 接入互联网";
  return connected;
}

}  // namespace pelvarine
