// A steady sine tone, answered at once: proves the path from the exchange to the visitor's speaker.
#include <cstdlib>
#include <cstring>
#include <string>

#include "exchange/farend/builtin_far_ends.h"
#include "exchange/protocol/alaw.h"

namespace exchange {

namespace {

constexpr double kMinHz = 50.0;
constexpr double kMaxHz = 3900.0;

class ToneFarEnd : public FarEnd {
 public:
  ToneFarEnd(double hz, int block_limit, FarEndListener& listener)
      : tone_(hz), blocks_left_(block_limit > 0 ? block_limit : -1), listener_(listener) {}

  void Start() override { listener_.OnFarEndAnswered(); }
  void OnClientVoice(int64_t, const uint8_t*) override {}

  bool ReadBlock(uint8_t* block) override {
    if (blocks_left_ == 0) return false;
    if (blocks_left_ > 0) --blocks_left_;
    std::string samples = tone_.Next(static_cast<int>(kBlockSamples));
    std::memcpy(block, samples.data(), kBlockSamples);
    return true;
  }

 private:
  ToneGenerator tone_;
  int blocks_left_;  // -1: for as long as the call lasts
  FarEndListener& listener_;
};

bool ParseHz(std::string_view target, double* hz) {
  if (target.empty() || target.size() > 12) return false;
  std::string text(target);
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(value >= kMinHz && value <= kMaxHz)) return false;
  *hz = value;
  return true;
}

class ToneFactory : public FarEndFactory {
 public:
  ToneFactory(double default_hz, int block_limit) : default_hz_(default_hz), block_limit_(block_limit) {}

  std::string CheckTarget(std::string_view target) const override {
    double hz = 0;
    return target.empty() || ParseHz(target, &hz) ? "" : "a tone's target is its frequency in Hz, 50 to 3900";
  }

  std::unique_ptr<FarEnd> Create(const FarEndRequest& request, FarEndListener& listener) override {
    double hz = default_hz_;
    if (!request.target.empty()) ParseHz(request.target, &hz);
    return std::make_unique<ToneFarEnd>(hz, block_limit_, listener);
  }

 private:
  double default_hz_;
  int block_limit_;
};

}  // namespace

std::unique_ptr<FarEndFactory> MakeToneFarEndFactory(double default_hz, int block_limit) {
  return std::make_unique<ToneFactory>(default_hz, block_limit);
}

}  // namespace exchange
