#include "sound_analysis.h"

#include <cmath>
#include <cstdlib>

#include "process.h"

namespace e2e {

std::vector<int16_t> SamplesFromRaw(const std::string& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] =
        static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned char>(bytes[2 * i])) |
                             static_cast<uint16_t>(static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return samples;
}

std::vector<int16_t> DecodeAlaw(const std::string& alaw, const std::string& scratch_dir,
                                std::string* problem) {
  const std::string in = scratch_dir + "/decode-in.al";
  const std::string out = scratch_dir + "/decode-out.raw";
  if (!WriteFile(in, alaw)) {
    *problem = "cannot write " + in;
    return {};
  }
  CommandResult sox = RunCommand({"/usr/bin/sox", "-t", "raw", "-r", "8000", "-e", "a-law", "-b", "8", "-c",
                                  "1", in, "-t", "raw", "-e", "signed", "-b", "16", out},
                                 WithOverrides({}), milliseconds(20000));
  if (!sox.ok()) {
    *problem = "sox cannot decode A-law: " + sox.out + sox.err;
    return {};
  }
  return SamplesFromRaw(ReadFile(out));
}

size_t Onset(const std::vector<int16_t>& samples, int threshold, size_t from) {
  for (size_t i = from; i < samples.size(); ++i)
    if (std::abs(static_cast<int>(samples[i])) > threshold) return i;
  return std::string::npos;
}

size_t LastLoud(const std::vector<int16_t>& samples, int threshold) {
  for (size_t i = samples.size(); i > 0; --i)
    if (std::abs(static_cast<int>(samples[i - 1])) > threshold) return i - 1;
  return std::string::npos;
}

std::vector<int16_t> WithoutDigitalSilence(const std::vector<int16_t>& samples, size_t min_run,
                                           std::vector<size_t>* raw_index, size_t* runs) {
  std::vector<int16_t> kept;
  raw_index->clear();
  *runs = 0;
  size_t i = 0;
  while (i < samples.size()) {
    size_t end = i;
    while (end < samples.size() && samples[end] == 0)
      ++end;
    if (end - i >= min_run) {
      ++*runs;
    } else {
      for (size_t k = i; k < end; ++k) {
        kept.push_back(0);
        raw_index->push_back(k);
      }
    }
    if (end < samples.size()) {
      kept.push_back(samples[end]);
      raw_index->push_back(end);
    }
    i = end + 1;
  }
  return kept;
}

Alignment BestAlignment(const std::vector<int16_t>& reference, size_t from, size_t to,
                        const std::vector<int16_t>& signal) {
  Alignment best;
  if (to > reference.size() || from >= to || signal.size() < to - from) return best;
  const size_t n = to - from;
  double ref_sum = 0, ref_sq = 0;
  for (size_t i = from; i < to; ++i) {
    ref_sum += reference[i];
    ref_sq += static_cast<double>(reference[i]) * reference[i];
  }
  const double ref_var = ref_sq - ref_sum * ref_sum / static_cast<double>(n);
  if (ref_var <= 0) return best;
  // The window starts at signal[start]; lag = start - from.
  for (size_t start = 0; start + n <= signal.size(); ++start) {
    double sum = 0, sq = 0, cross = 0;
    for (size_t i = 0; i < n; ++i) {
      double s = signal[start + i];
      sum += s;
      sq += s * s;
      cross += s * reference[from + i];
    }
    double var = sq - sum * sum / static_cast<double>(n);
    if (var <= 0) continue;
    double r = (cross - sum * ref_sum / static_cast<double>(n)) / std::sqrt(var * ref_var);
    if (r > best.correlation) {
      best.correlation = r;
      best.lag = static_cast<long>(start) - static_cast<long>(from);
    }
  }
  return best;
}

}  // namespace e2e
