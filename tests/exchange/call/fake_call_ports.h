// Fakes of what a PhoneCall reaches: a link that records what it sends and a far end whose behaviour the
// test scripts; time is a ManualTimers.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "exchange/call/call_link.h"
#include "exchange/farend/far_end.h"
#include "tests/exchange/call/manual_timers.h"

namespace exchange::testing {

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
    std::string counters;  // what Counters() reports
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
  std::string Counters() const override { return record_->counters; }
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
