// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string_view>

namespace corvane::audio {

// The file formats stems can be written in, all through libsndfile.
enum class AudioFormat {
    wav24,  // 24-bit integer PCM WAV, the default
    wav16,  // 16-bit integer PCM WAV
    f32,    // 32-bit float WAV: nothing is clipped
    flac,   // 24-bit FLAC
    mp3,    // MPEG-1/2 layer III, constant bit rate
    opus,   // Opus in Ogg; only at 8, 12, 16, 24 and 48 kHz
};

// Encoder choices beyond the format.
struct EncodeSettings {
    AudioFormat format = AudioFormat::wav24;
    int bitrateKbps = 0;  // mp3 and opus only, for both channels; 0: the format's default
};

// "wav24", "flac", ... as typed on a command line; absent for anything else.
std::optional<AudioFormat> formatFromName(std::string_view name);
std::string_view formatName(AudioFormat format);
// File name extension without the dot: "wav", "flac", "mp3", "opus".
std::string_view extension(AudioFormat format);
// The format a file name's extension ("flac", "MP3"; without the dot) stands for: the first with
// that extension, so "wav" is wav24. Absent for an extension no format writes.
std::optional<AudioFormat> formatFromExtension(std::string_view ext);
// Whether --bitrate means something for the format, and the range it accepts (kb/s, stereo).
bool hasBitrate(AudioFormat format);
inline constexpr int kMinBitrateKbps = 8;
inline constexpr int kMaxBitrateKbps = 512;
// What is used when no bit rate is asked for.
int defaultBitrateKbps(AudioFormat format);

}  // namespace corvane::audio
