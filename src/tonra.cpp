#include "tonra.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sched.h>

#include "abmain.h"
#include "platform/ab.h"
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
