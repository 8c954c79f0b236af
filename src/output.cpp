// SPDX-License-Identifier: GPL-3.0-or-later
#include "output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "madthread.h"
#include "madthread_seek.h"
#include "quantise.h"
#include "service_codes.h"

namespace {

// Fixed texts: users and their scripts read these lines byte for byte. The
// steps keep the sound library's call names they have always shown, though
// the calls made now are named otherwise.
constexpr char PcmOpenFailed[] = "snd_pcm_open_preferred() failed";
constexpr char PcmParamsFailed[] = "snd_pcm_plugin_params() failed";
constexpr char PcmPrepareFailed[] = "snd_pcm_plugin_prepare() failed";
constexpr char WriteFailedStep[] = "snd_pcm_plugin_write() failed";
// The lines they go in: "../tonra: step: error",
// exactly so, odd as the prefix looks; users and their scripts pick the lines
// out by it.
constexpr char ErrorLineFormat[] = "%s: %s: %s\n";  // prefix, step, strerror
constexpr char ErrorLinePrefix[] = "../tonra";

madthread_data &record(void *data) { return *static_cast<madthread_data *>(data); }

[[nodiscard]] bool quitting(const madthread_data &m) { return m.quit.load(std::memory_order_relaxed) != 0; }

// Sleeps, but not past a stop.
void pause_unless_stopped(const madthread_data &m, std::chrono::milliseconds length)
{
    const auto until = std::chrono::steady_clock::now() + length;
    while (!quitting(m) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// The device is one song's at a time, and the song before may still be
// closing it: its stop did not wait for a device that hangs.
[[nodiscard]] bool take_device(madthread_data &m)
{
    audio_device &audio = *m.audio;
    std::unique_lock lock(audio.hold_lock);
    audio.device_free.wait(lock, [&] { return !audio.held || quitting(m); });
    if (quitting(m))
        return false;
    audio.held = true;
    m.has_device = true;
    return true;
}

// Only the output callback's frames count: libmad hands it no frame that
// failed to decode.
void count_heard(madthread_data &m, const mad_pcm &pcm, long bytes)
{
    const long frames = bytes / (2L * pcm.channels);
    m.heard_microseconds += frames * 1'000'000L / static_cast<long>(pcm.samplerate);
    if (m.heard_microseconds >= HeardMicroseconds)
        m.heard.store(true);
}

int open_failed(output_step step, int err)
{
    const char *text = step == output_step::open     ? PcmOpenFailed
                       : step == output_step::params ? PcmParamsFailed
                                                     : PcmPrepareFailed;
    std::fprintf(stderr, ErrorLineFormat, ErrorLinePrefix, text, output_strerror(err));
    return -1;
}

}  // namespace

void tonra_name_stream(audio_device *audio, const std::string &name)
{
    const std::lock_guard lock(audio->hold_lock);
    audio->stream_name = name;
}

int tonra_open_audio_playback(audio_device *audio, int fragment_size, int rate, int mode)
{
    output_format format;
    format.rate = rate;
    format.voices = mode == MAD_MODE_SINGLE_CHANNEL ? 1 : 2;
    // The fragment size is what the buffer holds at 44.1 kHz stereo; a slow
    // format gets the same time, not the same bytes, so that a drain at
    // 8 kHz mono does not take ten times as long.
    format.buffer_bytes = output_buffer_bytes(fragment_size, rate, format.voices);
    std::string name;
    {
        const std::lock_guard lock(audio->hold_lock);
        name = audio->stream_name;
    }
    format.name = name;
    format.start = mixer_levels_read(&audio->levels);
    audio_output *stream = nullptr;
    output_step failed = output_step::open;
    const int rc = output_open(&stream, format, &failed);
    audio->pcm_handle.store(stream);
    return rc < 0 ? open_failed(failed, rc) : 0;
}

int tonra_close_audio_playback(audio_device *audio)
{
    output_close(audio->pcm_handle.exchange(nullptr));
    return 0;
}

int tonra_open_mixer(audio_device *audio)
{
    audio_output *stream = audio->pcm_handle.load();
    if (stream == nullptr)
        return -1;
    const std::lock_guard lock(audio->mixer_lock);
    audio->mixer_group.gid = mixer_gid{};
    if (mixer_group_identity(stream, &audio->mixer_group.gid) < 0 || audio->mixer_group.gid.name[0] == '\0')
        return -1;
    mixer *group = nullptr;
    if (mixer_open(&group, &audio->levels, stream) < 0)
        return -1;
    audio->mixer_handle.store(group);
    return 0;
}

int tonra_close_mixer(audio_device *audio)
{
    const std::lock_guard lock(audio->mixer_lock);
    mixer_close(audio->mixer_handle.exchange(nullptr));
    return 0;
}

namespace madthread_callbacks {

mad_flow header(void *data, const mad_header *hdr)
{
    madthread_data &m = record(data);
    if (quitting(m))
        return MAD_FLOW_STOP;
    if (seek_skips_header(m))
        return MAD_FLOW_IGNORE;
    if (hdr->samplerate == m.last_rate && hdr->mode == m.last_mode)
        return MAD_FLOW_CONTINUE;
    m.last_rate = hdr->samplerate;
    m.last_mode = hdr->mode;
    if (!m.has_device && !take_device(m))
        return MAD_FLOW_STOP;

    audio_device &audio = *m.audio;
    if (audio.mixer_handle.load() != nullptr)
        tonra_close_mixer(&audio);
    if (audio_output *stream = audio.pcm_handle.load(); stream != nullptr) {
        // Closing drops what the device still holds: the end of the part
        // before the change would never be heard.
        output_drain(stream, true, Output_SettleLimitMs, &m.quit);
        tonra_close_audio_playback(&audio);
        // A stop may have come while the old output played out.
        if (quitting(m))
            return MAD_FLOW_STOP;
    }
    if (tonra_open_audio_playback(&audio, FragmentSize, static_cast<int>(hdr->samplerate), hdr->mode) == -1)
        return MAD_FLOW_STOP;
    if (tonra_open_mixer(&audio) == -1)
        return MAD_FLOW_STOP;
    tonra_send_event(m.notify, Event_MixerReady);
    return MAD_FLOW_CONTINUE;
}

mad_flow output(void *data, const mad_header *, mad_pcm *pcm)
{
    madthread_data &m = record(data);
    if (quitting(m))
        return MAD_FLOW_STOP;
    if (seek_drops_frame(m))
        return MAD_FLOW_CONTINUE;

    audio_device &audio = *m.audio;
    // The group is the decode thread's to close, so it can be read unlocked.
    const auto gains = mixer_gains(audio.mixer_handle.load(std::memory_order_relaxed));
    const int n = quantise_frame(*pcm, gains, m.pcm_buffer.data(), m.dither_error, m.statistics);

    audio_output *stream = audio.pcm_handle.load(std::memory_order_relaxed);
    const auto *at = reinterpret_cast<const unsigned char *>(m.pcm_buffer.data());
    long remaining = 2L * n;
    while (remaining > 0) {
        {
            // The pause gate: a paused song's caller holds run_lock.
            const std::lock_guard gate(m.run_lock);
        }
        if (quitting(m))
            return MAD_FLOW_STOP;
        if (seek_drops_frame(m))
            return MAD_FLOW_CONTINUE;  // a jump during a pause
        seek_before_write(m, stream);
        const long chunk = std::min<long>(remaining, FragmentSize);
        const auto size = static_cast<std::size_t>(chunk);
        long written = output_write(stream, at, size, &m.quit, &m.seek_waiting);
        if (written < chunk && !quitting(m) && !seek_drops_frame(m)) {
            (void)output_prepare(stream);
            written = output_write(stream, at, size, &m.quit, &m.seek_waiting);
        }
        if (quitting(m))
            return MAD_FLOW_STOP;
        if (seek_drops_frame(m))
            return MAD_FLOW_CONTINUE;  // a jump came while the device was full
        if (written < chunk) {
            // Once, the device just ran dry; for a whole second, it is gone
            // (a sound server that quit, a pipe that closed): the song
            // would crawl on in silence at a frame per quarter second.
            const auto now = std::chrono::steady_clock::now();
            if (m.failing_since == std::chrono::steady_clock::time_point{}) {
                m.failing_since = now;
            } else if (now - m.failing_since >= FailedOutputLimit) {
                std::fprintf(stderr, ErrorLineFormat, ErrorLinePrefix, WriteFailedStep,
                             output_strerror(written < 0 ? static_cast<int>(written) : -EIO));
                m.unheard.store(true);
                return MAD_FLOW_STOP;
            }
            pause_unless_stopped(m, std::chrono::milliseconds(ShortWritePauseMs));
            return MAD_FLOW_CONTINUE;
        }
        m.failing_since = {};
        count_heard(m, *pcm, chunk);
        at += chunk;
        remaining -= chunk;
    }
    seek_after_write(m, stream, pcm->length);
    return MAD_FLOW_CONTINUE;
}

mad_flow error(void *data, mad_stream *stream, mad_frame *)
{
    if (quitting(record(data)))
        return MAD_FLOW_STOP;
    switch (stream->error) {
    case MAD_ERROR_BUFLEN:
    case MAD_ERROR_BUFPTR:
    case MAD_ERROR_NOMEM:
        return MAD_FLOW_STOP;
    default:
        // A frame that failed to decode is skipped, not played: played,
        // its garbage can be full-scale noise.
        return MAD_FLOW_CONTINUE;
    }
}

}  // namespace madthread_callbacks
