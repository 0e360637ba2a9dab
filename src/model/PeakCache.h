// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "model/MainThreadWaker.h"
#include "model/PeakPyramid.h"
#include "model/Song.h"

namespace corvane::model {

// Each stem's own minimum and maximum per pixel column of a zoomed waveform, made on a worker
// thread and cached per zoom level, so that drawing never waits for them.
//
// Column c at `framesPerColumn` f covers frames [floor(c f), floor((c + 1) f)) of the song; the
// columns come in tiles of kTileColumns. Values are divided by the song's largest sample
// magnitude over all stems, so the loudest sample is +-1. For each song the worker first builds
// one PeakPyramid per stem (one pass over the samples), then makes the tiles asked for, newest
// first; any tile then costs O(columns), whatever the zoom. Requests at a zoom level other than
// the newest one asked for are dropped before they are made.
//
// Main thread: every member; tilesArrived() is emitted there. The worker gets the song by value
// (shared pointers to the immutable stems) and hands tiles back under a short lock, waking the
// main thread. At most kMaxTiles are kept; the least recently used go first.
class PeakCache : public QObject {
    Q_OBJECT
public:
    static constexpr std::int64_t kTileColumns = 256;
    static constexpr std::size_t kMaxTiles = 384;

    // One tile: columns[stem][column]. A column past the song's end is empty (min > max).
    struct Tile {
        std::vector<std::vector<PeakRange>> columns;
    };

    explicit PeakCache(QObject* parent = nullptr);
    ~PeakCache() override;
    PeakCache(const PeakCache&) = delete;
    PeakCache& operator=(const PeakCache&) = delete;

    // A new song (or new stems): drops every tile and all work for the old one.
    void setSong(const Song& song);

    // The tile `index` at `framesPerColumn` if it is made; otherwise null, and the worker is
    // asked for it (once), with tilesArrived() to follow.
    std::shared_ptr<const Tile> tile(double framesPerColumn, std::int64_t index);
    // Only looks: never asks the worker.
    std::shared_ptr<const Tile> cached(double framesPerColumn, std::int64_t index) const;

signals:
    void tilesArrived();

private:
    using Key = std::pair<double, std::int64_t>;
    struct Request {
        std::uint64_t generation;
        Key key;
    };
    struct Result {
        std::uint64_t generation;
        Key key;
        std::shared_ptr<const Tile> tile;
    };

    void run();
    void takeResults();

    // Main thread only.
    struct Entry {
        std::shared_ptr<const Tile> tile;
        std::uint64_t lastUse;
    };
    std::map<Key, Entry> m_tiles;
    std::set<Key> m_asked;  // queued or being made
    double m_askedLevel = 0.0;
    std::uint64_t m_uses = 0;

    // Shared with the worker, under m_lock.
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    // Set with m_stop or a new song, under m_lock; read by the pyramid build without it, to stop
    // work that is no longer wanted (closing the window does not wait for a long song's build).
    std::atomic<bool> m_cancelBuild{false};
    std::uint64_t m_generation = 0;
    Song m_song;
    std::deque<Request> m_requests;
    std::vector<Result> m_results;

    MainThreadWaker m_waker;
    std::thread m_worker;
};

}  // namespace corvane::model
