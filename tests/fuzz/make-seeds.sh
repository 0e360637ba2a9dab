#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes the reader fuzzer's seed corpus into DIR: a tenth of a second of each format FFmpeg
# writes here, each prefixed with the byte that picks its extension in the fuzz target.
# Usage: make-seeds.sh DIR
set -euo pipefail
out="$1"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Index into the fuzz target's extension list, the ffmpeg options, and the source's channels.
seeds=(
    "0|-c:a pcm_s16le|st"
    "0|-c:a pcm_f32le|mono"
    "0|-c:a pcm_u8|st"
    "0|-c:a pcm_s16le|51"
    "1|-c:a libmp3lame -b:a 64k|st"
    "1|-c:a libmp3lame -b:a 32k -write_xing 0|mono"
    "2|-c:a flac|st"
    "2|-c:a flac|51"
    "3|-c:a libvorbis|st"
    "4|-c:a libopus -b:a 32k|st"
    "5|-c:a aac -b:a 64k|st"
    "6|-c:a pcm_s16be|st"
    "7|-c:a pcm_s16be|mono"
    "8|-c:a wavpack|st"
    "10|-c:a ac3 -b:a 96k|51"
)
ext=(wav mp3 flac ogg opus m4a aiff au wv aac ac3 mka caf w64 bin)
n=0
for seed in "${seeds[@]}"; do
    IFS='|' read -r index options channels <<<"$seed"
    case "$channels" in
    mono) source="sin(2*PI*440*t)*0.5" ;;
    st) source="sin(2*PI*440*t)*0.5|sin(2*PI*660*t)*0.4" ;;
    51) source="0.1|0.2|sin(2*PI*440*t)*0.5|0.05|0.1|0.1" ;;
    esac
    file="$work/seed.${ext[$index]}"
    # shellcheck disable=SC2086
    ffmpeg -nostdin -loglevel error -y -f lavfi -i "aevalsrc=$source:s=22050:d=0.1" $options "$file"
    { printf "\\x$(printf %02x "$index")"; cat "$file"; } >"$out/seed-$n"
    n=$((n + 1))
done
