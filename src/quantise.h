// SPDX-License-Identifier: GPL-3.0-or-later
// The quantiser of the decode engine's output: libmad's fixed-point samples
// (28 fraction bits) to signed 16-bit ones, rounding toward minus infinity
// and carrying the rounding error, unlimited, from each sample to the next,
// across channels and frames; clipping at full scale. No random noise: the
// output depends only on the samples and the state carried so far.
//
// The state belongs to the song (its decode-thread record): these
// functions are called by the decode thread, and by tests on their own.
#pragma once

#include <array>
#include <cstdint>
#include <mad.h>

inline constexpr int OutputBits = 16;
// A gain of 1.0 in libmad's fixed point: the samples pass unscaled.
inline constexpr std::int32_t QuantiseUnityGain = MAD_F_ONE;

struct dither_stats {
    unsigned long clip_count = 0;
    mad_fixed_t clip_peak = 0;
    mad_fixed_t level_peak = 0;
};

// Quantises one sample to `bits` bits.
[[nodiscard]] long dither(unsigned int bits, mad_fixed_t sample, mad_fixed_t *carried, dither_stats *stats);

// Converts a frame, each channel scaled by its gain (0 to
// QuantiseUnityGain; a mono frame uses the left one), into `out`,
// interleaved: room for 2 × 1152 samples. Returns the number of samples.
int quantise_frame(const mad_pcm &pcm, const std::array<std::int32_t, 2> &gains, std::int16_t *out,
                   mad_fixed_t &error, dither_stats &stats);
