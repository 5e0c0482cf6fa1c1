#include "app/call_client.h"

#include "app/home_page.h"

namespace pelvarine {

CallClient::CallClient(const Ports& ports, ClientConfig config)
    : ports_(ports),
      config_(std::move(config)),
      log_(ports.status_panel),
      recording_(ports.mixer, ports.system),
      window_(ports.controls, log_, ports.system),
      audio_(ports.wave, ports.clock, log_, state_, voice_),
      voice_(ports.network, ports.clock, log_, state_, audio_, session_, ports.controls),
      session_(
          {ports.network, ports.clock, log_, state_, voice_, audio_, recording_, window_, ports.controls},
          config_.address_server_ip),
      readiness_(
          {ports.system, ports.wave, log_, state_, session_, audio_, recording_, window_, ports.controls}) {}

CallClient::~CallClient() {
  // No audio callback may outlive the objects it calls into, even if the window never ran its clean-up.
  state_.off_hook = false;
  audio_.StopCapture();
  audio_.StopPlayback();
}

void CallClient::OnInitDialog() {
  log_.SetLineTerminator(kCrLf);
  window_.SetDialMode(DialMode::kDepartment);
  window_.HideOnlineLight();
  voice_.HideTalkingLight();
  readiness_.RunReadinessChecks();
}

void CallClient::OnHomePageButton() {
  OpenHomePage(ports_.system, config_.home_page_host);
}

void CallClient::OnDestroyWindow() {
  if (destroyed_) return;
  destroyed_ = true;
  session_.ExitCleanUp();
}

}  // namespace pelvarine
