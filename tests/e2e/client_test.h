// The fixture of every end-to-end test: an exchange simulator in this process, the real client under
// Wine, the probe that drives its window, and a transcript of every status line the window shows.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "exchange_sim.h"
#include "process.h"
#include "wine_session.h"

namespace e2e {

using exsim::Event;
using Kind = exsim::Event::Kind;

// Texts the client shows (UTF-8 here; the probe converts the window's texts to UTF-8).
namespace line {
inline constexpr char kMixerUnknown[] = "无法判断MIC是否选择";
inline constexpr char kLan[] = "通过 Lan 接入互联网";
inline constexpr char kCanDial[] = "可以拨电话了";
inline constexpr char kChooseDepartment[] = "请选择要通话的部门...";
inline constexpr char kOffHook[] = "已摘机...";
inline constexpr char kContacting[] = "正在联系";
inline constexpr char kOnHook[] = "已挂机！";
inline constexpr char kBusyNext[] = "连接未接纳，请求下一通道.";
inline constexpr char kPleaseWait[] = "请稍候...";
inline constexpr char kAllBusy[] = "被叫方通道忙请稍后再拨";
inline constexpr char kNoRight[] = "您无权拨这个号码！";
inline constexpr char kCheckPassword[] = "请检查PassWord！";
inline constexpr char kFarEndHungUp[] = "对方已经挂断电话，请按 挂断 按钮!";
inline constexpr char kEngagedNext[] = "占线，正在拨下一个号码...";
inline constexpr char kQualityAdjusted[] = "已经调整语音质量!";
inline constexpr char kErr002[] = "Err002:地址服务器连接失败！";
inline constexpr char kErr007[] = "Err007:电话服务器连接失败！";
inline constexpr char kErr012[] = "Err012:本机没有声卡";
inline constexpr char kUnusable[] = "无法使用本软件";
}  // namespace line

inline constexpr char kDepartment0[] = "订房电话";
inline constexpr char kDepartment1[] = "订餐电话";
inline constexpr char kDepartment2[] = "营销中心";

inline constexpr int kPhoneButton = 104;
inline constexpr int kExitButton = 101;

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  WineSession& wine() const { return WineSession::Get(); }
  exsim::Simulator& sim() { return *sim_; }

  // Starts the simulator with these options (fatal failure if a port cannot be bound).
  void StartSimulator(exsim::Options options);
  // Starts the client and waits until its window has shown its last start-up line.
  void LaunchClient(Profile profile = Profile::kSound);
  // Starts the client without waiting (for a second instance or a timing); the caller owns the child.
  Child StartClientProcess(Profile profile, const std::string& output_name);
  // Waits until no client is left: no window with the caption and no single-instance mutex. A client's
  // process can have ended while the wineserver still holds its mutex; a start then would only look for
  // that instance's window and end.
  bool WaitUntilNoInstance(milliseconds limit = milliseconds(10000));
  // What a start runs: the built client with the profile's environment, unless a scenario puts
  // something (a test stand-in, another sound set-up) underneath the same program.
  virtual std::string ClientExe() const { return wine().client_exe(); }
  virtual Environment ClientEnv(Profile profile) const { return wine().Env(profile); }

  CommandResult Probe(const std::vector<std::string>& args);
  // The probe's command must succeed; its output.
  std::string ProbeOk(const std::vector<std::string>& args);
  void Press(int control_id = kPhoneButton);
  std::vector<std::string> LogNow();  // the status log's lines as the window holds them now

  // The transcript: every status line the window has shown since the client started, in order.
  std::vector<std::string> Transcript() const;
  bool WaitForLine(const std::string& text, milliseconds limit = milliseconds(15000));
  bool TranscriptHas(const std::string& text) const;
  size_t TranscriptCount(const std::string& text) const;

  bool WaitForEvent(Kind kind, size_t count = 1, milliseconds limit = milliseconds(15000), int channel = -2);
  size_t EventCount(Kind kind, int channel = -2) const;
  std::vector<Event> EventsOf(Kind kind, int channel = -2) const;

  // Ends the client as a person does (Esc) and waits for its process to end.
  bool CloseClient(milliseconds limit = milliseconds(10000));
  bool client_running() { return client_.Running(); }
  Child& client() { return client_; }

  // Screenshot of the display; crops the client's window into shots/NAME.png when name is not empty.
  bool ShootWindow(const std::string& name, Image* image, int* window_x, int* window_y);

  // The phone button's picture: "red" (handset lifted: off-hook), "grey" (on the cradle) or the pixel.
  std::string PhoneButtonPicture();
  // Takes pictures until the phone button shows `picture`; false after `limit`.
  bool WaitForPhoneButton(const std::string& picture, milliseconds limit = milliseconds(5000));

  // What went on, for failure messages.
  std::string Diagnostics() const;
  std::string test_name() const { return test_name_; }

 private:
  void StopClient();
  void StartTranscript();
  std::string TranscriptState();

  std::string test_name_;
  std::unique_ptr<exsim::Simulator> sim_;
  Child client_;
  Profile profile_ = Profile::kSound;
  std::unique_ptr<LineReader> transcript_;
};

// Waits for a condition that this process can evaluate, polling every `step`.
bool PollUntil(const std::function<bool()>& condition, milliseconds limit,
               milliseconds step = milliseconds(20));

}  // namespace e2e
