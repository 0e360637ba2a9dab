// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/AudioFileReader.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

namespace corvane::audio {
namespace {

// Per-channel block size while decoding: 1 MiB of floats, small against any song, large enough
// that the block list stays short.
constexpr std::size_t kBlockFrames = std::size_t{1} << 18;

// Fixed-size, mmap-backed sample storage. Pages are touched only as samples land in them, and
// each block goes straight back to the system when freed (with malloc, glibc's adaptive mmap
// threshold would put later 1 MiB blocks on the heap, where freeing them returns nothing).
class Block {
public:
    Block() {
        void* p =
            ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        m_data = static_cast<float*>(p);
    }
    ~Block() { release(); }
    Block(Block&& other) noexcept : m_data(std::exchange(other.m_data, nullptr)) {}
    Block& operator=(Block&&) = delete;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    float* data() { return m_data; }
    const float* data() const { return m_data; }

    void release() {
        if (m_data) ::munmap(m_data, kBytes);
        m_data = nullptr;
    }

private:
    static constexpr std::size_t kBytes = kBlockFrames * sizeof(float);
    float* m_data = nullptr;
};

// One channel decoded so far, as a list of blocks that never move or double.
class BlockChannel {
public:
    // Appends one decoder block; blocks arrive kBlockFrames long except the last.
    void append(const std::vector<float>& src) {
        m_blocks.emplace_back();
        std::memcpy(m_blocks.back().data(), src.data(), src.size() * sizeof(float));
    }

    // Moves the samples into `out`, freeing each block once copied, so the peak stays near one
    // copy of the channel.
    void moveTo(std::vector<float>& out, std::size_t frames) {
        out.clear();
        out.reserve(frames);
        for (std::size_t b = 0; b < m_blocks.size() && out.size() < frames; ++b) {
            std::size_t take = std::min(kBlockFrames, frames - out.size());
            out.insert(out.end(), m_blocks[b].data(), m_blocks[b].data() + take);
            m_blocks[b].release();
        }
        m_blocks.clear();
    }

private:
    std::vector<Block> m_blocks;
};

Result<dsp::StereoAudio> decodeWhole(const std::filesystem::path& path,
                                     const std::atomic<bool>* cancel, ReadNotes* notes) {
    Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(path, cancel);
    if (!opened) return opened.error();
    AudioDecoder& decoder = *opened.value();

    BlockChannel left, right;
    std::vector<float> l, r;
    l.reserve(kBlockFrames);
    r.reserve(kBlockFrames);
    std::size_t frames = 0;
    for (;;) {
        l.clear();
        r.clear();
        Result<std::int64_t> got = decoder.read(static_cast<std::int64_t>(kBlockFrames), l, r);
        if (!got) return got.error();
        if (got.value() == 0) break;
        left.append(l);
        right.append(r);
        frames += static_cast<std::size_t>(got.value());
    }
    if (notes) *notes = decoder.notes();

    dsp::StereoAudio out;
    out.sampleRate = decoder.sampleRate();
    // Free FFmpeg's buffers and the transfer blocks before the final copy.
    opened = Error{};
    l = {};
    r = {};
    left.moveTo(out.l, frames);
    right.moveTo(out.r, frames);
    return out;
}

}  // namespace

Result<dsp::StereoAudio> readAudio(const std::filesystem::path& path,
                                   const std::atomic<bool>* cancel, ReadNotes* notes) {
    try {
        return decodeWhole(path, cancel, notes);
    } catch (const std::bad_alloc&) {
        return Error{"System", ENOMEM, std::generic_category().message(ENOMEM)};
    }
}

}  // namespace corvane::audio
