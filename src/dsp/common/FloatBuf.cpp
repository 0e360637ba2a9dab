// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/FloatBuf.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace corvane::dsp {

namespace {
// Below this a plain calloc is cheaper than a mapping of its own.
constexpr std::size_t kMapThresholdBytes = std::size_t{1} << 20;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
}  // namespace

void adviseHugePages(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    // Only whole 2 MB pages inside the range can be huge; madvise wants a page-aligned start.
    auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

FloatBuf::FloatBuf(std::int64_t count) : m_count(count >= 2 ? count : 1) {
    std::size_t bytes = static_cast<std::size_t>(m_count) * sizeof(float);
    if (bytes >= kMapThresholdBytes) {
        void* mem =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) throw std::bad_alloc();
        adviseHugePages(mem, bytes);  // fresh anonymous pages read as zero
        m_p = static_cast<float*>(mem);
        m_mapped = true;
    } else {
        m_p = static_cast<float*>(std::calloc(static_cast<std::size_t>(m_count), sizeof(float)));
        if (!m_p) throw std::bad_alloc();
    }
}

FloatBuf::~FloatBuf() {
    if (m_mapped)
        munmap(m_p, static_cast<std::size_t>(m_count) * sizeof(float));
    else
        std::free(m_p);
}

}  // namespace corvane::dsp
