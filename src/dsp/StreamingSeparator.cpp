// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/StreamingSeparator.h"

#include <cassert>

#include "dsp/common/FftPlan.h"
#include "dsp/common/ShortFrames.h"
#include "dsp/common/StftFrames.h"
#include "dsp/refined/RefinedStream.h"
#include "dsp/standard/StandardSeparator.h"

namespace corvane::dsp {

// One of the two methods' engines runs behind the façade.
struct StreamingSeparator::Impl {
    std::unique_ptr<StandardStream> standard;
    std::unique_ptr<RefinedStream> refined;
    bool ended = false;
};

StreamingSeparator::StreamingSeparator(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
StreamingSeparator::~StreamingSeparator() = default;

std::unique_ptr<StreamingSeparator> StreamingSeparator::create(double sampleRate, Sink sink,
                                                               const SeparatorOptions& options) {
    auto impl = std::make_unique<Impl>();
    if (options.method == SeparationMethod::refined) {
        if (!FftPlan::create(kFrameLength) || !FftPlan::create(kShortFrameLength)) return nullptr;
        impl->refined = std::make_unique<RefinedStream>(sampleRate, std::move(sink), options);
    } else {
        impl->standard = StandardStream::create(sampleRate, std::move(sink), options);
        if (!impl->standard) return nullptr;
    }
    return std::unique_ptr<StreamingSeparator>(new StreamingSeparator(std::move(impl)));
}

void StreamingSeparator::push(std::span<const float> l, std::span<const float> r) {
    assert(l.size() == r.size() && !m_impl->ended);
    if (m_impl->refined) return m_impl->refined->push(l, r);
    m_impl->standard->push(l, r);
}

void StreamingSeparator::finish() {
    m_impl->ended = true;
    if (m_impl->refined) return m_impl->refined->finish();
    m_impl->standard->finish();
}

std::int64_t StreamingSeparator::frames() const {
    return m_impl->refined ? m_impl->refined->frames() : m_impl->standard->frames();
}

}  // namespace corvane::dsp
