// SPDX-License-Identifier: GPL-3.0-or-later
#include "quantise.h"

#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr mad_fixed_t LargestValue = 0x0FFFFFFF;
constexpr mad_fixed_t SmallestValue = -0x10000000;

// The quantiser's arithmetic is 32-bit two's complement: the carried error
// is not limited, and a long run beyond full scale must wrap, not overflow.
[[nodiscard]] constexpr mad_fixed_t wrapping_add(mad_fixed_t a, mad_fixed_t b) noexcept
{
    return static_cast<mad_fixed_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

[[nodiscard]] constexpr mad_fixed_t wrapping_sub(mad_fixed_t a, mad_fixed_t b) noexcept
{
    return static_cast<mad_fixed_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

[[nodiscard]] constexpr std::int64_t magnitude(mad_fixed_t x) noexcept
{
    return x < 0 ? -std::int64_t{x} : std::int64_t{x};
}

struct Quantised {
    long sample;
    mad_fixed_t carried;
};

// The quantiser for a sum that may reach the level seen so far: the clip
// tests, and the statistics. The error goes in and out by value, so that
// the caller's stays in a register.
[[gnu::noinline]] Quantised quantise_at_peak(unsigned int shift, mad_fixed_t v, mad_fixed_t carried,
                                             dither_stats &stats)
{
    const mad_fixed_t guard = 0x10000000 >> shift;
    mad_fixed_t q = v;
    if (v >= stats.level_peak) {
        if (v > LargestValue) {
            q = LargestValue;
            ++stats.clip_count;
            if (v - LargestValue > stats.clip_peak && magnitude(carried) < guard)
                stats.clip_peak = v - LargestValue;
        }
        stats.level_peak = q;
    } else {
        if (v < SmallestValue) {
            q = SmallestValue;
            ++stats.clip_count;
            if (SmallestValue - v > stats.clip_peak && magnitude(carried) < guard)
                stats.clip_peak = SmallestValue - v;
        }
        stats.level_peak = -q;
    }
    q = static_cast<mad_fixed_t>(static_cast<std::uint32_t>(q) & ~((std::uint32_t{1} << shift) - 1));
    return {q >> shift, wrapping_sub(v, q)};
}

// The quantiser proper; `dither` is its interface for one sample. Each
// sample waits for the error of the one before, so the common case, a sum
// within the level already seen (which cannot clip), keeps that chain to an
// addition and a mask: v minus v rounded down is v's low bits.
[[gnu::always_inline]] inline long quantise(unsigned int bits, mad_fixed_t sample, mad_fixed_t &carried,
                                            dither_stats &stats)
{
    const unsigned shift = 29 - bits;
    const mad_fixed_t v = wrapping_add(sample, carried);
    // -level_peak <= v < level_peak, as one unsigned comparison.
    const std::uint32_t level = static_cast<std::uint32_t>(stats.level_peak);
    if (static_cast<std::uint32_t>(v) + level < 2 * level) [[likely]] {
        carried = static_cast<mad_fixed_t>(static_cast<std::uint32_t>(v) & ((std::uint32_t{1} << shift) - 1));
        return v >> shift;
    }
    const Quantised q = quantise_at_peak(shift, v, carried, stats);
    carried = q.carried;
    return q.sample;
}

template <bool Scaled>
[[nodiscard]] mad_fixed_t scaled(mad_fixed_t sample, std::int32_t gain)
{
    if constexpr (Scaled)
        return static_cast<mad_fixed_t>((std::int64_t{sample} * gain) >> 28);
    else
        return sample;
}

// One sample at a time: every frame that the fast conversion below cannot
// take.
template <bool Scaled>
int convert_each(const mad_pcm &pcm, const std::array<std::int32_t, 2> &gains, std::int16_t *out,
                 mad_fixed_t &error, dither_stats &statistics)
{
    mad_fixed_t carried = error;
    dither_stats stats = statistics;
    const mad_fixed_t *left = pcm.samples[0];
    const unsigned length = pcm.length;
    if (pcm.channels == 2) {
        const mad_fixed_t *right = pcm.samples[1];
        for (unsigned i = 0; i < length; ++i) {
            out[2 * i] = static_cast<std::int16_t>(quantise(OutputBits, scaled<Scaled>(left[i], gains[0]), carried, stats));
            out[2 * i + 1] =
                static_cast<std::int16_t>(quantise(OutputBits, scaled<Scaled>(right[i], gains[1]), carried, stats));
        }
    } else {
        for (unsigned i = 0; i < length; ++i)
            out[i] = static_cast<std::int16_t>(quantise(OutputBits, scaled<Scaled>(left[i], gains[0]), carried, stats));
    }
    error = carried;
    statistics = stats;
    return static_cast<int>(pcm.channels == 2 ? 2 * length : length);
}

#if defined(__SSE2__)
// Each sample waits for the error left by the one before, which makes the
// quantiser, done one sample at a time, cost as much as the rest of the
// engine together. But while no sum reaches the level seen so far, nothing
// clips, and the error left after a sample is the low bits of the first
// error plus every sample before it (the masks of the steps in between
// cancel). So four samples at a time: their sums from the running total
// (which alone carries on from vector to vector), errors, outputs, and a
// check that no sum reached the level. A frame where one did, or that
// starts with an excess from clipping, is not taken: false, nothing changed.
[[nodiscard]] bool convert_fast(const mad_pcm &pcm, std::int16_t *samples, mad_fixed_t &error, const dither_stats &stats)
{
    constexpr int Shift = 29 - OutputBits;
    const unsigned length = pcm.length;
    const std::uint32_t first = static_cast<std::uint32_t>(error);
    if (first >= (1U << Shift) || length % 8 != 0)
        return false;
    const std::uint32_t level = static_cast<std::uint32_t>(stats.level_peak);
    const __m128i low = _mm_set1_epi32((1 << Shift) - 1);
    // v + level < 2 * level, unsigned: flipped signs make it a signed test.
    const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000U));
    const __m128i offset = _mm_set1_epi32(static_cast<int>(level));
    const __m128i limit = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(2 * level)), sign);
    __m128i running = _mm_set1_epi32(static_cast<int>(first));
    __m128i reached = _mm_setzero_si128();

    // Quantises four samples in the order they are played.
    const auto four = [&](__m128i x) {
        __m128i sums = _mm_add_epi32(x, _mm_slli_si128(x, 4));
        sums = _mm_add_epi32(sums, _mm_slli_si128(sums, 8));  // x0, x0+x1, ...
        const __m128i before = _mm_add_epi32(running, _mm_sub_epi32(sums, x));
        running = _mm_add_epi32(running, _mm_shuffle_epi32(sums, 0xFF));
        const __m128i v = _mm_add_epi32(x, _mm_and_si128(before, low));
        const __m128i within = _mm_cmplt_epi32(_mm_xor_si128(_mm_add_epi32(v, offset), sign), limit);
        reached = _mm_or_si128(reached, _mm_andnot_si128(within, _mm_set1_epi32(-1)));
        return _mm_srai_epi32(v, Shift);
    };

    auto *out = reinterpret_cast<__m128i *>(samples);
    const auto *left = reinterpret_cast<const __m128i *>(pcm.samples[0]);
    if (pcm.channels == 2) {
        const auto *right = reinterpret_cast<const __m128i *>(pcm.samples[1]);
        for (unsigned i = 0; i < length / 4; ++i) {
            const __m128i l = _mm_loadu_si128(left + i);
            const __m128i r = _mm_loadu_si128(right + i);
            const __m128i a = four(_mm_unpacklo_epi32(l, r));
            const __m128i b = four(_mm_unpackhi_epi32(l, r));
            _mm_storeu_si128(out + i, _mm_packs_epi32(a, b));
        }
    } else {
        for (unsigned i = 0; i < length / 8; ++i) {
            const __m128i a = four(_mm_loadu_si128(left + 2 * i));
            const __m128i b = four(_mm_loadu_si128(left + 2 * i + 1));
            _mm_storeu_si128(out + i, _mm_packs_epi32(a, b));
        }
    }
    if (_mm_movemask_epi8(reached) != 0)
        return false;
    error = static_cast<mad_fixed_t>(static_cast<std::uint32_t>(_mm_cvtsi128_si32(running)) & ((1U << Shift) - 1));
    return true;
}
#else
[[nodiscard]] bool convert_fast(const mad_pcm &, std::int16_t *, mad_fixed_t &, const dither_stats &)
{
    return false;
}
#endif

template <bool Scaled>
int convert(const mad_pcm &pcm, const std::array<std::int32_t, 2> &gains, std::int16_t *out, mad_fixed_t &error,
            dither_stats &stats)
{
    if (!Scaled && convert_fast(pcm, out, error, stats))
        return static_cast<int>(pcm.channels == 2 ? 2 * pcm.length : pcm.length);
    return convert_each<Scaled>(pcm, gains, out, error, stats);
}

}  // namespace

long dither(unsigned int bits, mad_fixed_t sample, mad_fixed_t *carried, dither_stats *stats)
{
    return quantise(bits, sample, *carried, *stats);
}

int quantise_frame(const mad_pcm &pcm, const std::array<std::int32_t, 2> &gains, std::int16_t *out,
                   mad_fixed_t &error, dither_stats &stats)
{
    const bool unity = gains[0] == QuantiseUnityGain && (pcm.channels != 2 || gains[1] == QuantiseUnityGain);
    return unity ? convert<false>(pcm, gains, out, error, stats) : convert<true>(pcm, gains, out, error, stats);
}
