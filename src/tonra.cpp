#include "tonra.h"

#include <csignal>
#include <cstring>
#include <cstdio>
#include <pthread.h>
#include <mad.h>
#include <sched.h>

#include "abmain.h"
#include "platform/ab.h"
#include "platform/pcm.h"
#include "platform/service_events.h"

int BasePriority;
int CmdArgc;
char **CmdArgv;

int tonra_init(int argc, char *argv[])
{
    sched_param param{};
    // The result is not examined: a failed query leaves the priority at 0.
    (void)sched_getparam(0, &param);
    BasePriority = param.sched_priority;

    svc_open();
    struct sigaction action{};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
    // Only this thread takes the two signals: every thread started from here
    // on inherits them blocked (the thread helpers block them as well), so no
    // sound write or file read elsewhere is ever interrupted.
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    pthread_sigmask(SIG_UNBLOCK, &usr, nullptr);

    CmdArgc = argc;
    CmdArgv = argv;
    return 0;
}

int tonra_send_event(Widget *window, int code)
{
    return svc_post(window, static_cast<std::uint16_t>(code));
}

void signal_handler(int signo)
{
    // Only posts: stopping and starting happen later in service_event.
    if (signo == SIGUSR1)
        tonra_send_event(svc_target(), 0xFF05);
    else if (signo == SIGUSR2)
        tonra_send_event(svc_target(), 0xFF06);
}

int about_realized(Widget *, LinkInfo *, CallbackInfo *)
{
    char version[20];
    std::snprintf(version, sizeof version, "%d.%d.%d", 0, 1, 4);
    ab_set_text(AbWidgets[ABN_about_version], version);
    return 0;
}

namespace {

int open_failed(const char *step, int err)
{
    std::fprintf(stderr, "%s: %s: %s\n", "../tonra", step, std::strerror(-err));
    return -1;
}

}  // namespace

int tonra_open_audio_playback(audio_device *audio, int fragment_size, int rate, int mode)
{
    pcm_stream *stream = nullptr;
    if (const int rc = pcm_open_preferred(&stream, &audio->card, &audio->device); rc < 0)
        return open_failed("snd_pcm_open_preferred() failed", rc);
    audio->pcm_handle.store(stream);
    const int voices = mode == MAD_MODE_SINGLE_CHANNEL ? 1 : 2;
    if (const int rc = pcm_params(stream, rate, voices, fragment_size); rc < 0)
        return open_failed("snd_pcm_plugin_params() failed", rc);
    if (const int rc = pcm_prepare(stream); rc < 0)
        return open_failed("snd_pcm_plugin_prepare() failed", rc);
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
    if (mixer_open(&group, &audio->levels) < 0)
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
