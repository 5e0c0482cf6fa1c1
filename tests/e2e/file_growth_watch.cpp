#include "file_growth_watch.h"

#include <sys/stat.h>

namespace e2e {

void FileGrowthWatch::Start(const std::string& path) {
  Stop();
  path_ = path;
  stop_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    growth_.clear();
  }
  thread_ = std::thread([this] {
    size_t last = 0;
    while (!stop_) {
      struct stat st;
      if (stat(path_.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) != last) {
        last = static_cast<size_t>(st.st_size);
        std::lock_guard<std::mutex> lock(mutex_);
        growth_.push_back({Clock::now(), last});
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
}

void FileGrowthWatch::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool FileGrowthWatch::WhenReached(size_t bytes, Clock::time_point* when) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // A device opened again starts the file afresh: only its latest contents count.
  size_t from = 0;
  for (size_t i = 1; i < growth_.size(); ++i)
    if (growth_[i].size < growth_[i - 1].size) from = i;
  for (size_t i = from; i < growth_.size(); ++i) {
    if (growth_[i].size >= bytes) {
      *when = growth_[i].when;
      return true;
    }
  }
  return false;
}

}  // namespace e2e
