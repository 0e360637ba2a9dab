// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the reader: any bytes, under any of the extensions FFmpeg picks demuxers
// by, must give either a well-formed song or an error, never a crash, a hang or a leak.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/AudioDecoder.h"
#include "audio/AudioFileReader.h"

namespace {

// The first byte picks the name's extension; the rest is the file.
constexpr const char* kExtensions[] = {"wav", "mp3", "flac", "ogg", "opus", "m4a", "aiff", "au",
                                       "wv",  "aac", "ac3",  "mka", "caf",  "w64", "bin"};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char* ext = kExtensions[data[0] % (sizeof kExtensions / sizeof *kExtensions)];
    // In memory (tmpfs), named per process so parallel fuzzing jobs do not share a file.
    const std::string path =
        "/dev/shm/corvane-fuzz-" + std::to_string(::getpid()) + "." + std::string(ext);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    const bool written = ::write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1);
    ::close(fd);
    if (written) {
        corvane::audio::ReadNotes notes;
        auto song = corvane::audio::readAudio(path, nullptr, &notes);
        if (song.ok()) {
            const corvane::dsp::StereoAudio& a = song.value();
            check(a.l.size() == a.r.size() && !a.l.empty());
            check(a.sampleRate >= corvane::audio::kMinSampleRate &&
                  a.sampleRate <= corvane::audio::kMaxSampleRate);
            check(notes.frames == a.frames());
        } else {
            check(!song.error().description.empty());
            check(song.error().description.find('\n') == std::string::npos);
        }
        // Small blocks take the decoder's other paths: leftovers kept between reads.
        auto decoder = corvane::audio::AudioDecoder::open(path);
        if (decoder.ok()) {
            std::vector<float> l, r;
            for (int i = 0; i < 4096; ++i) {
                auto got = decoder.value()->read(333, l, r);
                if (!got.ok() || got.value() == 0) break;
                check(got.value() <= 333);
            }
            check(l.size() == r.size());
        }
    }
    ::unlink(path.c_str());
    return 0;
}
