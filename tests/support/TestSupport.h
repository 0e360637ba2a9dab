// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "dsp/common/StereoAudio.h"

namespace corvane::test {

// Uniform noise in [-amplitude, amplitude] from a fixed seed.
std::vector<float> noise(std::size_t n, std::uint32_t seed, float amplitude = 0.5f);
std::vector<float> sine(std::size_t n, double hz, double sampleRate, float amplitude = 0.5f);
// Stereo noise with independent channels.
dsp::StereoAudio noiseStereo(std::size_t n, std::uint32_t seed, double sampleRate = 44100.0);

// Passes when a and b have the same length and every |a[i] - b[i]| <= tolerance; otherwise names
// the first bad index and the two values there.
::testing::AssertionResult nearlyEqual(std::span<const float> a, std::span<const float> b,
                                       float tolerance);

// Power of `x` at `hz` (Goertzel), normalised by length: a sine of amplitude 0.5 gives 0.0625 at
// its own frequency.
double powerAt(std::span<const float> x, double hz, double sampleRate);

// Largest absolute sample (NaN counts as infinity so it never hides).
float peakAbs(std::span<const float> x);

// A fresh, empty folder under the system's temp folder, removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// True in a build with AddressSanitizer, whose shadow memory and quarantine of freed blocks make
// peak-memory figures meaningless: tests that measure memory skip there.
constexpr bool kUnderAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

// Runs a shell command and returns its exit status (-1 if it could not run); what it prints on
// standard output is appended to `output` if given.
int runCommand(const std::string& command, std::string* output = nullptr);

// `p` in single quotes, safe in a shell command line whatever it holds.
std::string shellQuote(const std::filesystem::path& p);

// Every byte of `file` ("" if it cannot be read).
std::string fileContents(const std::filesystem::path& file);

}  // namespace corvane::test
