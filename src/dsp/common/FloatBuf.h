// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

namespace corvane::dsp {

// Owner of one zero-filled heap block of floats for the separation's planes. Never empty: a
// requested length below 2 gives one element. Large blocks come straight from the kernel (zero
// pages, asked to be backed by huge pages) so a 35 MB plane costs few page faults.
// Not copyable; workers share it by reference and each writes only its own region.
class FloatBuf {
public:
    explicit FloatBuf(std::int64_t count);
    ~FloatBuf();
    FloatBuf(const FloatBuf&) = delete;
    FloatBuf& operator=(const FloatBuf&) = delete;

    float* p() { return m_p; }
    const float* p() const { return m_p; }
    std::int64_t count() const { return m_count; }

private:
    float* m_p = nullptr;
    std::int64_t m_count = 0;
    bool m_mapped = false;
};

// Advises the kernel to back [p, p + bytes) with huge pages, before its first touch. Best effort.
void adviseHugePages(void* p, std::size_t bytes);

}  // namespace corvane::dsp
