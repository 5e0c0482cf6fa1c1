// Comparing sounds in the end-to-end suite: 16-bit mono samples at 8000 per second, A-law decoded by
// sox (independently of any encoder under test), onsets and the best-aligned correlation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

constexpr int kSampleRate = 8000;

std::vector<int16_t> SamplesFromRaw(const std::string& bytes);  // 16-bit signed little-endian
// Decodes A-law bytes with sox; empty with *problem set if sox fails.
std::vector<int16_t> DecodeAlaw(const std::string& alaw, const std::string& scratch_dir,
                                std::string* problem);

// The first sample at or after `from` whose magnitude exceeds `threshold`; npos if none.
size_t Onset(const std::vector<int16_t>& samples, int threshold, size_t from = 0);
// The last sample whose magnitude exceeds `threshold`; npos if none.
size_t LastLoud(const std::vector<int16_t>& samples, int threshold);

// Removes runs of at least `min_run` exact zeros (what Wine writes when playback runs dry; decoded
// A-law is never exactly zero). raw_index[i] is where kept sample i stood in `samples`.
std::vector<int16_t> WithoutDigitalSilence(const std::vector<int16_t>& samples, size_t min_run,
                                           std::vector<size_t>* raw_index, size_t* runs);

struct Alignment {
  long lag = 0;             // signal[i + lag] matches reference[i]
  double correlation = -1;  // Pearson correlation of the two windows at that lag
};
// Slides the window reference[from, to) along `signal` and returns the lag with the highest correlation
// (lags where the window lies wholly inside the signal).
Alignment BestAlignment(const std::vector<int16_t>& reference, size_t from, size_t to,
                        const std::vector<int16_t>& signal);

}  // namespace e2e
