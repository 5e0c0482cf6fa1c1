// Watches a file grow: when it first held each size, for telling when a sample reached the file.
// Polls every millisecond.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class FileGrowthWatch {
 public:
  using Clock = std::chrono::steady_clock;

  ~FileGrowthWatch() { Stop(); }
  void Start(const std::string& path);
  void Stop();
  // The first moment the file was seen holding at least `bytes`; false if it never did.
  bool WhenReached(size_t bytes, Clock::time_point* when) const;

 private:
  struct Growth {
    Clock::time_point when;
    size_t size;
  };
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Growth> growth_;
};

}  // namespace e2e
