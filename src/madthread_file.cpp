// SPDX-License-Identifier: GPL-3.0-or-later
#include "madthread_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "madthread_seek.h"
#include "song_length.h"

namespace {

// Fixed texts, byte for byte: the lines of a song that failed to start,
// which users and their scripts know.
constexpr char OpenFailedFormat[] = "Failed to open mp3 file %s\n";
// No newline, as ever: the player's error line follows on the same line.
constexpr char EmptyFileText[] = "The mp3 file appears to be empty";

// With ring_lock held; 1 means full.
[[nodiscard]] int free_space(const madthread_data &m)
{
    const int n = m.ring_read - m.ring_write;
    return n <= 0 ? n + RingSize : n;
}

// Songs come from regular files; a pipe is read as it comes. A device
// (/dev/zero, /dev/urandom behind a link) or a directory is never decoded.
[[nodiscard]] bool playable(mode_t mode)
{
    return S_ISREG(mode) || S_ISFIFO(mode);
}

[[nodiscard]] int refused(const char *path, int err)
{
    std::fprintf(stderr, OpenFailedFormat, path);
    errno = err;
    return -1;
}

[[nodiscard]] ssize_t read_retrying(int fd, void *to, std::size_t size)
{
    ssize_t count;
    do {
        count = read(fd, to, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

}  // namespace

int madthread_open_file(madthread_data &m, const char *path)
{
    struct stat status{};
    const bool known = stat(path, &status) == 0;
    m.stats[AudioStats_Total].store(known ? static_cast<std::int64_t>(status.st_size) : 0);
    if (known && !playable(status.st_mode))
        return refused(path, S_ISDIR(status.st_mode) ? EISDIR : ENODEV);

    // Non-blocking, so that a pipe without a writer does not hold the
    // caller; the reads below wait with poll instead.
    m.fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m.fd < 0)
        return refused(path, errno);
    struct stat opened{};
    if (fstat(m.fd, &opened) != 0 || !playable(opened.st_mode)) {
        close(m.fd);
        return refused(path, S_ISDIR(opened.st_mode) ? EISDIR : ENODEV);
    }
    (void)fcntl(m.fd, F_SETFL, fcntl(m.fd, F_GETFL) & ~O_NONBLOCK);
    if (S_ISFIFO(opened.st_mode)) {
        pollfd p{m.fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&p, 1, static_cast<int>(PipeOpenWait.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            close(m.fd);
            return refused(path, ready == 0 ? ETIMEDOUT : errno);
        }
    }

    m.ring_stop = 0;
    m.ring_read = 0;
    ssize_t count = read_retrying(m.fd, m.ring.data(), InitialRead);
    if (count <= 0) {
        // The caller's line names errno: a read error's own, and for an empty
        // file (or a pipe already read to its end) no stale one.
        const int err = count == 0 ? ENODATA : errno;
        std::fputs(EmptyFileText, stderr);
        close(m.fd);
        errno = err;
        return -1;
    }
    // A tag is not sound: decoded, a large one is seconds of loud noise. One
    // whose size runs past the file is no tag, and is left to the decoder.
    const std::int64_t tag = song_id3v2_length({m.ring.data(), static_cast<std::size_t>(count)});
    if (S_ISREG(opened.st_mode) && tag > 0 && tag <= opened.st_size) {
        if (tag <= count) {
            m.ring_read = static_cast<int>(tag);
        } else if (lseek(m.fd, tag, SEEK_SET) == tag) {
            count = std::max<ssize_t>(read_retrying(m.fd, m.ring.data(), InitialRead), 0);
        } else {
            close(m.fd);
            return refused(path, errno);
        }
        m.stats[AudioStats_Consumed].fetch_add(tag);
    }
    m.ring_write = static_cast<int>(count);
    // A pipe has no length and no way back.
    if (S_ISREG(opened.st_mode))
        (void)song_length_read(m.fd, opened.st_size, m.length);

    m.stop_fd = eventfd(0, EFD_CLOEXEC);
    if (m.stop_fd < 0) {
        const int err = errno;
        close(m.fd);
        errno = err;
        return -1;
    }
    return 0;
}

// Ends the buffer thread and gives back the file; with no decode thread left.
void madthread_end_reading(madthread_data &m)
{
    {
        const std::lock_guard lock(m.ring_lock);
        m.ring_stop = 1;
        m.ring_write = 0;
        m.ring_read = 0;
        m.ring_space.notify_all();
    }
    // Wakes a buffer thread that waits for a pipe or a stalled file system.
    const std::uint64_t one = 1;
    (void)!write(m.stop_fd, &one, sizeof one);
    pthread_join(m.buffer_thread, nullptr);
    // Closed only now: closed under a running read, the descriptor's number
    // could be reused by another thread's open before the read loop looks
    // at ring_stop, and the buffer thread would read someone else's file.
    close(m.fd);
    m.fd = -1;
    close(m.stop_fd);
    m.stop_fd = -1;
}

void *bufferthread(void *data)
{
    madthread_data &m = *static_cast<madthread_data *>(data);
    std::unique_lock lock(m.ring_lock);
    for (;;) {
        if (m.ring_stop)
            break;
        if (m.seek_request >= 0) {
            seek_reposition(m, lock);
            continue;
        }
        const int space = free_space(m);
        if (space == 1) {
            m.ring_space.wait(lock);
            continue;
        }
        const int at = m.ring_write;
        const int want = std::min(space - 1, RingSize - at);
        lock.unlock();
        // Waits for the file and for a stop together: a pipe whose writer
        // stalls, or a file system that stopped answering, never holds one.
        std::array<pollfd, 2> ready{pollfd{m.fd, POLLIN, 0}, pollfd{m.stop_fd, POLLIN, 0}};
        int polled;
        do {
            polled = poll(ready.data(), ready.size(), -1);
        } while (polled < 0 && errno == EINTR);
        ssize_t count = -1;
        if (polled > 0 && ready[1].revents == 0) {
            // A regular file is always "ready": a file system that stops
            // answering blocks in the read itself.
            m.read_since.store(output_clock_now(), std::memory_order_relaxed);
            count = read_retrying(m.fd, m.ring.data() + at, static_cast<std::size_t>(want));
            m.read_since.store(0, std::memory_order_relaxed);
        }
        lock.lock();
        // A stop while reading has emptied the ring: what was read is dropped.
        if (m.ring_stop)
            break;
        // So does a jump: it reads anew from elsewhere.
        if (m.seek_request >= 0)
            continue;
        if (count <= 0) {
            if (!m.length.seekable)
                break;
            // The end of a file one can seek in is not the end of reading
            // while the decoder may still be sent back.
            m.ring_done = true;
            m.ring_data.notify_all();
            m.ring_space.wait(lock, [&] { return m.ring_stop != 0 || m.seek_request >= 0 || m.decoded; });
            if (m.decoded && m.seek_request < 0)
                break;
            continue;
        }
        m.ring_write += static_cast<int>(count);
        if (m.ring_write > RingSize - 1)
            m.ring_write -= RingSize;
        m.ring_data.notify_one();
    }
    m.ring_done = true;
    m.ring_data.notify_all();
    m.ring_space.notify_all();
    return nullptr;
}
