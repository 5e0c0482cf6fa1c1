// An ALSA capture device for the end-to-end suite: it records a prepared sound file (16-bit signed
// little-endian, one channel, at the configured rate) as a microphone would hear it, at the pace of the
// monotonic clock, from the file's first sample on each start and silence once the file is used up.
// ALSA's own file plugin cannot stand in here: over its clockless null device it hands a reader as
// much as it asks for at once and fills what it cannot read with zeros.
//
//   pcm_type.pacedfile { lib "/path/to/libasound_module_pcm_pacedfile.so" }
//   pcm.microphone { type pacedfile  file "/path/sound.raw"  rate 8000  log "/path/starts.txt" }
//
// `log` (optional) receives "start NANOSECONDS" (CLOCK_MONOTONIC) for each start and "close" for each
// close: the moment the file's first sample was spoken, for measuring latency.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct PacedFile {
  snd_pcm_ioplug_t io = {};
  int file = -1;
  int timer = -1;
  unsigned rate = 8000;
  std::string path;
  std::string log;
  int64_t start_ns = 0;
  bool running = false;
  snd_pcm_uframes_t hw = 0;  // frames captured since the start (never goes back)
};

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Log(const PacedFile& p, const std::string& line) {
  if (p.log.empty()) return;
  FILE* f = std::fopen(p.log.c_str(), "a");
  if (f == nullptr) return;
  std::fprintf(f, "%s\n", line.c_str());
  std::fclose(f);
}

PacedFile& Of(snd_pcm_ioplug_t* io) {
  return *static_cast<PacedFile*>(io->private_data);
}

// What the clock has captured, held back so the reader is never more than a buffer behind: the
// position stays unambiguous modulo the buffer, and nothing is lost while a reader is slow.
snd_pcm_uframes_t Captured(PacedFile& p) {
  if (!p.running) return p.hw;
  int64_t elapsed = (NowNs() - p.start_ns) * static_cast<int64_t>(p.rate) / 1000000000;
  snd_pcm_uframes_t limit = p.io.appl_ptr + p.io.buffer_size - 1;
  snd_pcm_uframes_t now = std::min(static_cast<snd_pcm_uframes_t>(std::max<int64_t>(elapsed, 0)), limit);
  p.hw = std::max(p.hw, now);
  return p.hw;
}

int Start(snd_pcm_ioplug_t* io) {
  PacedFile& p = Of(io);
  p.start_ns = NowNs();
  p.hw = 0;
  p.running = true;
  int64_t period_ns = static_cast<int64_t>(io->period_size) * 1000000000 / p.rate;
  itimerspec spec = {};
  spec.it_interval.tv_sec = period_ns / 1000000000;
  spec.it_interval.tv_nsec = period_ns % 1000000000;
  spec.it_value = spec.it_interval;
  timerfd_settime(p.timer, 0, &spec, nullptr);
  Log(p, "start " + std::to_string(p.start_ns));
  return 0;
}

int Stop(snd_pcm_ioplug_t* io) {
  PacedFile& p = Of(io);
  Captured(p);
  p.running = false;
  itimerspec off = {};
  timerfd_settime(p.timer, 0, &off, nullptr);
  return 0;
}

int Prepare(snd_pcm_ioplug_t* io) {
  PacedFile& p = Of(io);
  p.hw = 0;
  return 0;
}

snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io) {
  PacedFile& p = Of(io);
  return static_cast<snd_pcm_sframes_t>(Captured(p) % io->buffer_size);
}

snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                           snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  PacedFile& p = Of(io);
  char* out = static_cast<char*>(areas[0].addr) + (areas[0].first + areas[0].step * offset) / 8;
  size_t bytes = size * 2;
  size_t got = 0;
  while (got < bytes && p.file >= 0) {
    ssize_t n = read(p.file, out + got, bytes - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the end of the sound: silence from here on
    }
  }
  std::memset(out + got, 0, bytes - got);
  return static_cast<snd_pcm_sframes_t>(size);
}

int PollRevents(snd_pcm_ioplug_t* io, struct pollfd*, unsigned int, unsigned short* revents) {
  PacedFile& p = Of(io);
  uint64_t expirations;
  while (read(p.timer, &expirations, sizeof expirations) > 0) {
  }
  snd_pcm_uframes_t available = Captured(p) - io->appl_ptr;
  *revents = available >= io->period_size ? POLLIN : 0;
  return 0;
}

int Close(snd_pcm_ioplug_t* io) {
  PacedFile* p = &Of(io);
  Log(*p, "close");
  if (p->file >= 0) close(p->file);
  if (p->timer >= 0) close(p->timer);
  delete p;
  return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
  snd_pcm_ioplug_callback_t c = {};
  c.start = Start;
  c.stop = Stop;
  c.prepare = Prepare;
  c.pointer = Pointer;
  c.transfer = Transfer;
  c.poll_revents = PollRevents;
  c.close = Close;
  return c;
}();

int Constrain(snd_pcm_ioplug_t* io, unsigned rate) {
  static const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
  static const unsigned formats[] = {SND_PCM_FORMAT_S16_LE};
  int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
  if (err >= 0) err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats);
  if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1);
  if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, rate, rate);
  if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 32, 1 << 16);
  if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
  if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 64, 1 << 22);
  return err;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(pacedfile) {
  (void)root;
  const char* path = nullptr;
  const char* log = nullptr;
  long rate = 8000;
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (!std::strcmp(id, "comment") || !std::strcmp(id, "type") || !std::strcmp(id, "hint")) continue;
    if (!std::strcmp(id, "file") && snd_config_get_string(n, &path) >= 0) continue;
    if (!std::strcmp(id, "log") && snd_config_get_string(n, &log) >= 0) continue;
    if (!std::strcmp(id, "rate") && snd_config_get_integer(n, &rate) >= 0) continue;
    SNDERR("pacedfile: unknown or malformed field %s", id);
    return -EINVAL;
  }
  if (stream != SND_PCM_STREAM_CAPTURE) {
    SNDERR("pacedfile: a capture device only");
    return -EINVAL;
  }
  if (path == nullptr || rate < 1000 || rate > 192000) {
    SNDERR("pacedfile: needs a file and a rate from 1000 to 192000");
    return -EINVAL;
  }
  PacedFile* p = new PacedFile;
  p->path = path;
  p->log = log ? log : "";
  p->rate = static_cast<unsigned>(rate);
  p->file = open(path, O_RDONLY | O_CLOEXEC);
  p->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (p->file < 0 || p->timer < 0) {
    int err = -errno;
    SNDERR("pacedfile: cannot open %s", path);
    if (p->file >= 0) close(p->file);
    if (p->timer >= 0) close(p->timer);
    delete p;
    return err;
  }
  p->io.version = SND_PCM_IOPLUG_VERSION;
  p->io.name = "paced sound file";
  p->io.callback = &kCallbacks;
  p->io.private_data = p;
  p->io.poll_fd = p->timer;
  p->io.poll_events = POLLIN;
  p->io.mmap_rw = 0;
  int err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
  if (err < 0) {
    close(p->file);
    close(p->timer);
    delete p;
    return err;
  }
  err = Constrain(&p->io, p->rate);
  if (err < 0) {
    snd_pcm_ioplug_delete(&p->io);
    return err;
  }
  *pcmp = p->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(pacedfile);

}  // extern "C"
