// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/AudioFormat.h"

#include <array>
#include <utility>

namespace corvane::audio {
namespace {

struct FormatNames {
    AudioFormat format;
    std::string_view name;
    std::string_view extension;
};

constexpr std::array<FormatNames, 6> kFormats = {{
    {AudioFormat::wav24, "wav24", "wav"},
    {AudioFormat::wav16, "wav16", "wav"},
    {AudioFormat::f32, "f32", "wav"},
    {AudioFormat::flac, "flac", "flac"},
    {AudioFormat::mp3, "mp3", "mp3"},
    {AudioFormat::opus, "opus", "opus"},
}};

const FormatNames& namesOf(AudioFormat format) {
    return kFormats[static_cast<std::size_t>(format)];
}

}  // namespace

std::optional<AudioFormat> formatFromName(std::string_view name) {
    for (const FormatNames& f : kFormats)
        if (f.name == name) return f.format;
    return std::nullopt;
}

std::optional<AudioFormat> formatFromExtension(std::string_view ext) {
    for (const FormatNames& f : kFormats) {
        if (f.extension.size() != ext.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < ext.size() && same; ++i)
            same = f.extension[i] == (ext[i] >= 'A' && ext[i] <= 'Z' ? ext[i] - 'A' + 'a' : ext[i]);
        if (same) return f.format;
    }
    return std::nullopt;
}

std::string_view formatName(AudioFormat format) { return namesOf(format).name; }
std::string_view extension(AudioFormat format) { return namesOf(format).extension; }

bool hasBitrate(AudioFormat format) {
    return format == AudioFormat::mp3 || format == AudioFormat::opus;
}

int defaultBitrateKbps(AudioFormat format) {
    switch (format) {
        case AudioFormat::mp3:
            return 320;
        case AudioFormat::opus:
            return 160;
        default:
            return 0;
    }
}

}  // namespace corvane::audio
