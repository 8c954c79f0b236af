// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/monitor.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

Monitor::Monitor(const std::string &sink)
{
    int pipefd[2];
    if (pipe(pipefd) != 0)
        std::exit(1);
    // Made before the fork: the child calls only what is safe there.
    const std::string device = sink + ".monitor";
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        execlp("parec", "parec", "-d", device.c_str(), "--raw", "--format=s16le", "--rate=44100", "--channels=2",
               "--latency-msec=5", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipefd[1]);
    fd_ = pipefd[0];
    fcntl(fd_, F_SETFL, O_NONBLOCK);
}

Monitor::~Monitor()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    close(fd_);
}

long Monitor::take()
{
    char buf[65536];
    for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;)
        bytes_.append(buf, static_cast<std::size_t>(n));
    return static_cast<long>(bytes_.size() / 4);
}

int Monitor::sample(long i, int channel) const
{
    const auto at = static_cast<std::size_t>(4 * i + 2 * channel);
    return static_cast<std::int16_t>(static_cast<unsigned char>(bytes_[at]) |
                                     static_cast<unsigned char>(bytes_[at + 1]) << 8);
}

}  // namespace bench
