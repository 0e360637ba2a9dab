// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>

namespace corvane::test {

std::vector<float> noise(std::size_t n, std::uint32_t seed, float amplitude) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> out(n);
    for (auto& x : out) x = dist(rng);
    return out;
}

std::vector<float> sine(std::size_t n, double hz, double sampleRate, float amplitude) {
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz *
                                                         static_cast<double>(i) / sampleRate));
    return out;
}

dsp::StereoAudio noiseStereo(std::size_t n, std::uint32_t seed, double sampleRate) {
    return {noise(n, seed), noise(n, seed + 1000), sampleRate};
}

::testing::AssertionResult nearlyEqual(std::span<const float> a, std::span<const float> b,
                                       float tolerance) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure()
               << "lengths differ: " << a.size() << " vs " << b.size();
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(std::fabs(a[i] - b[i]) <= tolerance))
            return ::testing::AssertionFailure()
                   << "first difference at index " << i << ": " << a[i] << " vs " << b[i]
                   << " (tolerance " << tolerance << ")";
    return ::testing::AssertionSuccess();
}

double powerAt(std::span<const float> x, double hz, double sampleRate) {
    const double coeff = 2.0 * std::cos(2.0 * std::numbers::pi * hz / sampleRate);
    double s1 = 0.0, s2 = 0.0;
    for (float v : x) {
        const double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double n = static_cast<double>(x.size());
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (n * n);
}

float peakAbs(std::span<const float> x) {
    float m = 0.0f;
    for (float v : x) {
        if (std::isnan(v)) return INFINITY;
        m = std::max(m, std::fabs(v));
    }
    return m;
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

int runCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buf[4096];
    for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        if (output) output->append(buf, got);
    const int status = pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuote(const std::filesystem::path& p) {
    std::string out = "'";
    for (char c : p.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string fileContents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace corvane::test
