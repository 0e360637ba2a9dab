// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/RiffLength.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace corvane::audio {

std::optional<RiffLength> riffLength(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    unsigned char header[4096];
    const ssize_t got = ::read(fd, header, sizeof header);
    ::close(fd);
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(header[at]) |
               static_cast<std::uint32_t>(header[at + 1]) << 8 |
               static_cast<std::uint32_t>(header[at + 2]) << 16 |
               static_cast<std::uint32_t>(header[at + 3]) << 24;
    };
    if (got < 12 || std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0)
        return std::nullopt;
    const auto size = static_cast<std::size_t>(got);
    RiffLength length;
    unsigned blockAlign = 0;
    for (std::size_t at = 12; at + 8 <= size;) {
        const std::uint32_t chunk = u32(at + 4);
        if (std::memcmp(header + at, "fmt ", 4) == 0 && at + 8 + 16 <= size) {
            length.sampleRate = static_cast<int>(u32(at + 12));
            blockAlign = header[at + 20] | static_cast<unsigned>(header[at + 21]) << 8;
        } else if (std::memcmp(header + at, "data", 4) == 0) {
            if (blockAlign == 0 || length.sampleRate <= 0 || chunk == 0 || chunk == 0xFFFFFFFFu)
                return std::nullopt;
            length.frames = chunk / blockAlign;
            return length;
        }
        // Chunks are padded to an even size. Summed in size_t: in 32 bits a size near 4 GB wraps
        // to a step of 0 and the walk never ends.
        at += 8 + static_cast<std::size_t>(chunk) + (chunk & 1u);
    }
    return std::nullopt;
}

}  // namespace corvane::audio
