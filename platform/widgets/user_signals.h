// SPDX-License-Identifier: GPL-3.0-or-later
// The user's signals, SIGUSR1 and SIGUSR2, belong to the user-interface
// thread (ab_route_signals): every other thread keeps them blocked, so that
// none of its reads or writes is interrupted. A thread starts with the mask
// of the thread that creates it, so any thread that starts one blocks them
// around the start. Any thread; no toolkit.
#pragma once

#include <csignal>
#include <pthread.h>

// The two signals as a set.
[[nodiscard]] inline sigset_t user_signals()
{
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    return usr;
}

// Blocks them on the calling thread for good (until ab_route_signals takes
// them on the user-interface thread).
inline void user_signals_block()
{
    const sigset_t usr = user_signals();
    pthread_sigmask(SIG_BLOCK, &usr, nullptr);
}

// Blocks them on the calling thread for its lifetime, then restores the mask:
// the threads created meanwhile keep them blocked.
class UserSignalsBlocked {
public:
    UserSignalsBlocked()
    {
        const sigset_t usr = user_signals();
        pthread_sigmask(SIG_BLOCK, &usr, &saved_);
    }
    ~UserSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    UserSignalsBlocked(const UserSignalsBlocked &) = delete;
    UserSignalsBlocked &operator=(const UserSignalsBlocked &) = delete;

private:
    sigset_t saved_{};
};
