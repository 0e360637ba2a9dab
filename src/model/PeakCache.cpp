// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/PeakCache.h"

#include <QThread>
#include <algorithm>
#include <cmath>

namespace corvane::model {

PeakCache::PeakCache(QObject* parent)
    : QObject(parent), m_waker([this] { takeResults(); }), m_worker([this] { run(); }) {}

PeakCache::~PeakCache() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
        m_cancelBuild = true;
    }
    m_wake.notify_all();
    m_worker.join();
}

void PeakCache::setSong(const Song& song) {
    Q_ASSERT(QThread::currentThread() == thread());
    {
        std::lock_guard lock(m_lock);
        ++m_generation;
        m_cancelBuild = true;
        m_song = song;
        m_requests.clear();
        m_results.clear();
    }
    m_wake.notify_all();
    m_tiles.clear();
    m_asked.clear();
}

std::shared_ptr<const PeakCache::Tile> PeakCache::cached(double framesPerColumn,
                                                         std::int64_t index) const {
    const auto found = m_tiles.find({framesPerColumn, index});
    return found == m_tiles.end() ? nullptr : found->second.tile;
}

std::shared_ptr<const PeakCache::Tile> PeakCache::tile(double framesPerColumn, std::int64_t index) {
    Q_ASSERT(QThread::currentThread() == thread());
    const Key key{framesPerColumn, index};
    if (const auto found = m_tiles.find(key); found != m_tiles.end()) {
        found->second.lastUse = ++m_uses;
        return found->second.tile;
    }
    if (index < 0 || !(framesPerColumn > 0.0) || m_asked.count(key)) return nullptr;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_lock);
        // The view moved to another zoom: what it asked for at the old one is no longer wanted.
        if (framesPerColumn != m_askedLevel) m_requests.clear();
        generation = m_generation;
        m_requests.push_back({generation, key});
    }
    if (framesPerColumn != m_askedLevel) m_asked.clear();
    m_askedLevel = framesPerColumn;
    m_asked.insert(key);
    m_wake.notify_all();
    return nullptr;
}

void PeakCache::takeResults() {
    std::vector<Result> results;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_lock);
        results.swap(m_results);
        generation = m_generation;
    }
    bool any = false;
    for (Result& r : results) {
        if (r.generation != generation) continue;  // made for a song that has gone
        m_asked.erase(r.key);
        m_tiles[r.key] = {std::move(r.tile), ++m_uses};
        any = true;
    }
    while (m_tiles.size() > kMaxTiles) {
        auto oldest = std::min_element(m_tiles.begin(), m_tiles.end(), [](auto& a, auto& b) {
            return a.second.lastUse < b.second.lastUse;
        });
        m_tiles.erase(oldest);
    }
    if (any) emit tilesArrived();
}

// Worker thread. What it reads of the song it copies under the lock; the pyramids are its own.
void PeakCache::run() {
    std::uint64_t built = 0;  // the generation the pyramids are for; 0: none yet
    Song song;
    std::vector<PeakPyramid> pyramids;
    float scale = 1.0f;
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || m_generation != built || !m_requests.empty(); });
        if (m_stop) return;
        if (m_generation != built) {
            const std::uint64_t generation = m_generation;
            song = m_song;
            m_cancelBuild = false;
            lock.unlock();
            pyramids.clear();
            float loudest = 0.0f;
            for (const auto& stem : song.stems) {
                if (!stem) {
                    pyramids.emplace_back();
                    continue;
                }
                pyramids.push_back(PeakPyramid::build(*stem, song.frames, &m_cancelBuild));
                loudest = std::max(loudest, pyramids.back().peakAbs());
                lock.lock();  // a newer song or the end stops the build between stems
                const bool stale = m_stop || generation != m_generation;
                lock.unlock();
                if (stale) break;
            }
            scale = loudest > 1e-6f ? 1.0f / loudest : 1.0f;
            lock.lock();
            built = generation;
            continue;  // a newer song may have come meanwhile: the wait predicate sees it
        }
        const Request request = m_requests.back();  // the newest is the one in view
        m_requests.pop_back();
        if (request.generation != built) continue;
        lock.unlock();

        auto tile = std::make_shared<Tile>();
        const auto [framesPerColumn, index] = request.key;
        for (std::size_t s = 0; s < song.stems.size(); ++s) {
            std::vector<PeakRange> columns(static_cast<std::size_t>(kTileColumns),
                                           PeakRange::empty());
            if (song.stems[s]) {
                for (std::int64_t c = 0; c < kTileColumns; ++c) {
                    const double column = static_cast<double>(index * kTileColumns + c);
                    const auto from =
                        static_cast<std::int64_t>(std::floor(column * framesPerColumn));
                    const auto to =
                        static_cast<std::int64_t>(std::floor((column + 1.0) * framesPerColumn));
                    PeakRange r = pyramids[s].range(*song.stems[s], from, std::max(to, from + 1));
                    if (!r.isEmpty()) r = {r.min * scale, r.max * scale};
                    columns[static_cast<std::size_t>(c)] = r;
                }
            }
            tile->columns.push_back(std::move(columns));
        }

        lock.lock();
        m_results.push_back({request.generation, request.key, std::move(tile)});
        m_waker.wake();
    }
}

}  // namespace corvane::model
