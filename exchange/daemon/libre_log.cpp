#include "exchange/daemon/libre_log.h"

#include <string>

// re_dbg.h wants the including module's name and level for its own DEBUG_* macros, which are not used here.
#define DEBUG_MODULE "pelvarine"
#define DEBUG_LEVEL 0
extern "C" {
#include <re.h>
#include <re_dbg.h>
}

namespace exchange {

namespace {

void OnLibreLine(int level, const char* text, size_t length, void* arg) {
  std::string line(text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.pop_back();
  if (!line.empty()) static_cast<Logger*>(arg)->Log(LevelOfLibre(level), "libre: " + line);
}

}  // namespace

LogLevel LevelOfLibre(int libre_level) {
  if (libre_level <= DBG_ERR) return LogLevel::kError;
  if (libre_level == DBG_WARNING) return LogLevel::kWarn;
  if (libre_level <= DBG_INFO) return LogLevel::kInfo;
  return LogLevel::kDebug;
}

void RouteLibreLog(Logger* logger) {
  if (logger == nullptr) {
    dbg_handler_set(nullptr, nullptr);
    return;
  }
  static constexpr int kLibreLevels[] = {DBG_ERR, DBG_WARNING, DBG_INFO, DBG_DEBUG};
  dbg_init(kLibreLevels[static_cast<int>(logger->level())], DBG_NONE);
  dbg_handler_set(&OnLibreLine, logger);
}

}  // namespace exchange
