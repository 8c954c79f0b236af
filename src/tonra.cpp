// SPDX-License-Identifier: GPL-3.0-or-later
#include "tonra.h"

#include <csignal>
#include <cstring>
#include <cstdio>
#include <mad.h>
#include <sched.h>

#include "abmain.h"
#include "platform/ab.h"
#include "platform/media_keys.h"
#include "platform/mpris.h"
#include "platform/pcm.h"
#include "platform/service_events.h"
#include "platform/stream_identity.h"

int BasePriority;
int CmdArgc;
char **CmdArgv;

int tonra_init(int argc, char *argv[])
{
    sched_param param{};
    // The result is not examined: a failed query leaves the priority at 0.
    (void)sched_getparam(0, &param);
    BasePriority = param.sched_priority;

    // Before the decode thread first opens the sound device and reads them.
    stream_identity_set();
    svc_open();
    // The handler runs on the user-interface thread: the signals stay
    // blocked in every thread, so no sound write or file read anywhere is
    // interrupted by them, and a descriptor hands them to the event loop.
    ab_route_signals({SIGUSR1, SIGUSR2}, signal_handler);

    CmdArgc = argc;
    CmdArgv = argv;
    media_keys_install();
    mpris_open();
    return 0;
}

int tonra_send_event(Widget *window, ServiceCode code)
{
    return svc_post(window, code);
}

void signal_handler(int signo)
{
    // Only posts: stopping and starting happen later in service_event.
    if (signo == SIGUSR1)
        tonra_send_event(svc_target(), Event_SignalStop);
    else if (signo == SIGUSR2)
        tonra_send_event(svc_target(), Event_PlayNext);
}

int about_realized(Widget *, LinkInfo *, CallbackInfo *)
{
    // TONRA_VERSION: the project's version, handed in by the build.
    ab_set_text(AbWidgets[ABN_about_version], TONRA_VERSION);
    return 0;
}

namespace {

// Fixed texts: users and their scripts read these lines byte for byte. The
// steps keep the sound library's call names they have always shown, though
// the calls made now are named otherwise.
constexpr char PcmOpenFailed[] = "snd_pcm_open_preferred() failed";
constexpr char PcmParamsFailed[] = "snd_pcm_plugin_params() failed";
constexpr char PcmPrepareFailed[] = "snd_pcm_plugin_prepare() failed";

int open_failed(const char *step, int err)
{
    std::fprintf(stderr, ErrorLineFormat, ErrorLinePrefix, step, std::strerror(-err));
    return -1;
}

}  // namespace

int tonra_open_audio_playback(audio_device *audio, int fragment_size, int rate, int mode)
{
    pcm_stream *stream = nullptr;
    if (const int rc = pcm_open_preferred(&stream, &audio->card, &audio->device); rc < 0)
        return open_failed(PcmOpenFailed, rc);
    audio->pcm_handle.store(stream);
    const int voices = mode == MAD_MODE_SINGLE_CHANNEL ? 1 : 2;
    // The fragment size is what the buffer holds at 44.1 kHz stereo; a slow
    // format gets the same time, not the same bytes, so that a drain at
    // 8 kHz mono does not take ten times as long.
    if (const int rc = pcm_params(stream, rate, voices, pcm_buffer_bytes(fragment_size, rate, voices)); rc < 0)
        return open_failed(PcmParamsFailed, rc);
    if (const int rc = pcm_prepare(stream); rc < 0)
        return open_failed(PcmPrepareFailed, rc);
    return 0;
}

int tonra_close_audio_playback(audio_device *audio)
{
    pcm_close(audio->pcm_handle.exchange(nullptr));
    return 0;
}

int tonra_open_mixer(audio_device *audio)
{
    pcm_stream *stream = audio->pcm_handle.load();
    if (stream == nullptr)
        return -1;
    const std::lock_guard lock(audio->mixer_lock);
    audio->mixer_group.gid = mixer_gid{};
    if (pcm_mixer_gid(stream, &audio->mixer_group.gid) < 0 || audio->mixer_group.gid.name[0] == '\0')
        return -1;
    mixer *group = nullptr;
    if (mixer_open(&group, &audio->levels, pcm_through_server(stream)) < 0)
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
