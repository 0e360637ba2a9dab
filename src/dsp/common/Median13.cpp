// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/common/Median13.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "dsp/common/Simd.h"

namespace corvane::dsp {

namespace {

// Batcher's odd-even merge sort for 16 inputs with three +infinity inputs folded away, then
// pruned to the comparators that feed output 6. Correct for all 2^13 zero-one inputs, hence for
// all inputs (checked exhaustively in the tests).
constexpr std::array<std::pair<int, int>, 39> kNetwork = {{
    {0, 1},  {2, 3},  {4, 5},   {6, 7}, {8, 9},  {10, 11}, {0, 2},  {1, 3},   {4, 6}, {5, 7},
    {8, 10}, {9, 11}, {1, 2},   {5, 6}, {9, 10}, {0, 4},   {1, 5},  {2, 6},   {3, 7}, {8, 12},
    {2, 4},  {3, 5},  {10, 12}, {1, 2}, {3, 4},  {5, 6},   {9, 10}, {11, 12}, {0, 8}, {1, 9},
    {2, 10}, {3, 11}, {4, 12},  {4, 8}, {5, 9},  {6, 10},  {3, 5},  {6, 8},   {5, 6},
}};
constexpr int kMedianWire = 6;

typedef float V8 __attribute__((vector_size(32)));
constexpr int kLanes = 8;

template <class T>
inline __attribute__((always_inline)) void compareExchange(T& a, T& b) {
    T lo = b < a ? b : a;
    T hi = b < a ? a : b;
    a = lo;
    b = hi;
}

template <class T, std::size_t... I>
inline __attribute__((always_inline)) void runNetwork(T* v, std::index_sequence<I...>) {
    (compareExchange(v[kNetwork[I].first], v[kNetwork[I].second]), ...);
}

template <class T>
inline __attribute__((always_inline)) T medianOf(T* v) {
    runNetwork(v, std::make_index_sequence<kNetwork.size()>{});
    return v[kMedianWire];
}

// By reference: a 32-byte vector returned by value would change the ABI between the clones.
inline __attribute__((always_inline)) void load8(V8& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}

}  // namespace

float median13Sorted(const float* v) {
    float sorted[13];
    int count = 0;
    for (int i = 0; i < 13; ++i) {
        float x = v[i];
        int j = count;
        while (j > 0 && sorted[j - 1] > x) {  // equals stay in front of the new value
            sorted[j] = sorted[j - 1];
            --j;
        }
        sorted[j] = x;
        ++count;
    }
    return sorted[6];
}

float median13Network(const float* v) {
    float w[13];
    std::copy(v, v + 13, w);
    return medianOf(w);
}

CORVANE_SIMD_CLONES
void timeMedianRow(const float* const rows[13], float* out) {
    int k = 0;
    for (; k + kLanes <= kBins; k += kLanes) {
        V8 v[13];
        for (int d = 0; d < 13; ++d) load8(v[d], rows[d] + k);
        runNetwork(v, std::make_index_sequence<kNetwork.size()>{});
        std::memcpy(out + k, &v[kMedianWire], sizeof(V8));
    }
    for (; k < kBins; ++k) {
        float v[13];
        for (int d = 0; d < 13; ++d) v[d] = rows[d][k];
        out[k] = medianOf(v);
    }
}

CORVANE_SIMD_CLONES
void frequencyMedianRow(const float* row, float* out) {
    // The row with its edge bins repeated six times on each side, plus room for a full last block.
    constexpr int kPadded = kBins + 12 + kLanes;
    float padded[kPadded];
    for (int j = 0; j < kPadded; ++j) padded[j] = row[std::clamp(j - 6, 0, kBins - 1)];
    int k = 0;
    for (; k + kLanes <= kBins; k += kLanes) {
        V8 v[13];
        for (int d = 0; d < 13; ++d) load8(v[d], padded + k + d);
        runNetwork(v, std::make_index_sequence<kNetwork.size()>{});
        std::memcpy(out + k, &v[kMedianWire], sizeof(V8));
    }
    for (; k < kBins; ++k) out[k] = median13Network(padded + k);
}

CORVANE_SIMD_CLONES
void timeMedianRow(const float* const rows[13], float* out, int count) {
    int k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        V8 v[13];
        for (int d = 0; d < 13; ++d) load8(v[d], rows[d] + k);
        runNetwork(v, std::make_index_sequence<kNetwork.size()>{});
        std::memcpy(out + k, &v[kMedianWire], sizeof(V8));
    }
    for (; k < count; ++k) {
        float v[13];
        for (int d = 0; d < 13; ++d) v[d] = rows[d][k];
        out[k] = medianOf(v);
    }
}

CORVANE_SIMD_CLONES
void frequencyMedianRow(const float* row, float* out, int count, float* padded) {
    static_assert(kMedianPadding >= 12 + kLanes);
    for (int j = 0; j < count + kMedianPadding; ++j)
        padded[j] = row[std::clamp(j - 6, 0, count - 1)];
    int k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        V8 v[13];
        for (int d = 0; d < 13; ++d) load8(v[d], padded + k + d);
        runNetwork(v, std::make_index_sequence<kNetwork.size()>{});
        std::memcpy(out + k, &v[kMedianWire], sizeof(V8));
    }
    for (; k < count; ++k) out[k] = median13Network(padded + k);
}

}  // namespace corvane::dsp
