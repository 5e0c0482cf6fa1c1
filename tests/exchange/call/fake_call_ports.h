// Fakes of what a PhoneCall reaches: a link that records what it sends, a clock advanced by hand, and a far
// end whose behaviour the test scripts.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "exchange/call/call_link.h"
#include "exchange/call/timers.h"
#include "exchange/farend/far_end.h"

namespace exchange::testing {

class ManualTimers : public TimerSource {
 public:
  uint64_t NowMs() const override { return now_; }
  std::unique_ptr<Timer> NewTimer() override { return std::make_unique<ManualTimer>(this); }

  // Moves time forward, firing every timer that falls due, in order.
  void Advance(uint64_t ms) {
    uint64_t end = now_ + ms;
    for (;;) {
      ManualTimer* next = nullptr;
      for (ManualTimer* t : timers_) {
        if (t->armed_ && t->due_ <= end && (next == nullptr || t->due_ < next->due_)) next = t;
      }
      if (next == nullptr) break;
      now_ = std::max(now_, next->due_);
      next->armed_ = false;
      std::function<void()> fire = std::move(next->fire_);
      fire();
    }
    now_ = end;
  }

 private:
  class ManualTimer : public Timer {
   public:
    explicit ManualTimer(ManualTimers* owner) : owner_(owner) { owner_->timers_.push_back(this); }
    ~ManualTimer() override {
      auto& v = owner_->timers_;
      v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    void Start(uint64_t delay_ms, std::function<void()> fire) override {
      due_ = owner_->now_ + delay_ms;
      fire_ = std::move(fire);
      armed_ = true;
    }
    void Cancel() override { armed_ = false; }
    bool pending() const override { return armed_; }

    ManualTimers* owner_;
    uint64_t due_ = 0;
    bool armed_ = false;
    std::function<void()> fire_;
    friend class ManualTimers;
  };

  uint64_t now_ = 1000;
  std::vector<ManualTimer*> timers_;
};

struct SentTag {
  std::string bytes;
  uint64_t at_ms;
};

struct SentVoice {
  Endpoint to;
  std::string datagram;
  uint64_t at_ms;
};

class RecordingLink : public CallLink {
 public:
  explicit RecordingLink(const ManualTimers& clock) : clock_(clock) {}
  bool SendChunk(std::string_view bytes) override {
    tags.push_back({std::string(bytes), clock_.NowMs()});
    return !fail_sends;
  }
  bool SendVoice(const Endpoint& to, const uint8_t* data, size_t size) override {
    voice.push_back({to, std::string(reinterpret_cast<const char*>(data), size), clock_.NowMs()});
    return true;
  }
  void CloseConnection() override { ++closes; }

  std::vector<std::string> TagTexts() const {
    std::vector<std::string> out;
    for (const SentTag& t : tags)
      out.push_back(t.bytes);
    return out;
  }

  std::vector<SentTag> tags;
  std::vector<SentVoice> voice;
  int closes = 0;
  bool fail_sends = false;

 private:
  const ManualTimers& clock_;
};

// A far end the test drives: it records what it is given and reports what the test tells it to.
class ScriptedFarEnd : public FarEnd {
 public:
  struct Record {
    std::string target;
    std::vector<int64_t> sequences;
    std::vector<std::string> blocks;
    bool started = false;
    bool destroyed = false;
    int reads = 0;
  };
  ScriptedFarEnd(Record* record, FarEndListener& listener, std::vector<std::string>* outgoing)
      : record_(record), listener_(listener), outgoing_(outgoing) {}
  ~ScriptedFarEnd() override { record_->destroyed = true; }

  void Start() override { record_->started = true; }
  void OnClientVoice(int64_t sequence, const uint8_t* block) override {
    record_->sequences.push_back(sequence);
    record_->blocks.emplace_back(reinterpret_cast<const char*>(block), kBlockSamples);
  }
  bool ReadBlock(uint8_t* block) override {
    ++record_->reads;
    if (outgoing_->empty()) return false;
    std::memcpy(block, outgoing_->front().data(), kBlockSamples);
    outgoing_->erase(outgoing_->begin());
    return true;
  }
  FarEndListener& listener() { return listener_; }

 private:
  Record* record_;
  FarEndListener& listener_;
  std::vector<std::string>* outgoing_;
};

class ScriptedFactory : public FarEndFactory {
 public:
  std::string CheckTarget(std::string_view) const override { return ""; }
  std::unique_ptr<FarEnd> Create(const FarEndRequest& request, FarEndListener& listener) override {
    records.emplace_back();
    records.back().target = request.target;
    auto far_end = std::make_unique<ScriptedFarEnd>(&records.back(), listener, &outgoing);
    last = far_end.get();
    return far_end;
  }
  FarEndListener& listener() { return last->listener(); }

  std::vector<ScriptedFarEnd::Record> records;  // reserve() before use keeps pointers stable
  std::vector<std::string> outgoing;            // blocks ReadBlock hands out, in order
  ScriptedFarEnd* last = nullptr;
};

}  // namespace exchange::testing
