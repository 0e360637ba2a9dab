// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Markers.h"

#include <algorithm>
#include <cmath>

namespace corvane::model {

int Markers::insert(Marker marker) {
    // After any marker at the same time, so a new one lands last among equals.
    const auto at = std::upper_bound(m_markers.begin(), m_markers.end(), marker.seconds,
                                     [](double s, const Marker& m) { return s < m.seconds; });
    const auto placed = m_markers.insert(at, std::move(marker));
    return static_cast<int>(placed - m_markers.begin());
}

int Markers::add(double seconds, std::string name) {
    ++m_added;
    if (name.empty()) name = "Marker " + std::to_string(m_added);
    return insert({std::isfinite(seconds) ? std::max(0.0, seconds) : 0.0, std::move(name), false});
}

bool Markers::rename(int index, std::string name) {
    if (index < 0 || index >= static_cast<int>(m_markers.size())) return false;
    if (!name.empty()) m_markers[static_cast<std::size_t>(index)].name = std::move(name);
    return true;
}

bool Markers::remove(int index) {
    if (index < 0 || index >= static_cast<int>(m_markers.size())) return false;
    m_markers.erase(m_markers.begin() + index);
    return true;
}

std::optional<int> Markers::next(double seconds) const {
    for (std::size_t i = 0; i < m_markers.size(); ++i)
        if (m_markers[i].seconds > seconds + kSameSeconds) return static_cast<int>(i);
    return std::nullopt;
}

std::optional<int> Markers::previous(double seconds) const {
    for (std::size_t i = m_markers.size(); i-- > 0;)
        if (m_markers[i].seconds < seconds - kSameSeconds) return static_cast<int>(i);
    return std::nullopt;
}

void Markers::setSections(const std::vector<analysis::Section>& sections) {
    std::erase_if(m_markers, [](const Marker& m) { return m.section; });
    for (const analysis::Section& s : sections) insert({std::max(0.0, s.start), s.label, true});
}

void Markers::assign(std::vector<Marker> markers) {
    m_markers.clear();
    m_added = 0;
    for (Marker& m : markers) {
        if (!std::isfinite(m.seconds)) continue;
        m.seconds = std::max(0.0, m.seconds);
        if (!m.section) ++m_added;
        insert(std::move(m));
    }
}

}  // namespace corvane::model
