// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/bus_probe.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char A11yVariable[] = "AT_SPI_BUS_ADDRESS";
// Nothing listens there: the bridge gives up at once.
constexpr char NoA11yBus[] = "unix:path=/nonexistent/at-spi-bus";

class Socket {
public:
    Socket() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

// The socket of the first unix address in the list; nullopt when there is
// none (a tcp bus, say).
std::optional<sockaddr_un> unix_socket(std::string_view addresses)
{
    for (std::size_t start = 0; start <= addresses.size();) {
        const std::size_t end = std::min(addresses.find(';', start), addresses.size());
        std::string_view address = addresses.substr(start, end - start);
        start = end + 1;
        if (!address.starts_with("unix:"))
            continue;
        address.remove_prefix(5);
        for (std::size_t at = 0; at <= address.size();) {
            const std::size_t comma = std::min(address.find(',', at), address.size());
            const std::string_view pair = address.substr(at, comma - at);
            at = comma + 1;
            const bool abstract = pair.starts_with("abstract=");
            if (!abstract && !pair.starts_with("path="))
                continue;
            std::string value;
            for (std::size_t i = pair.find('=') + 1; i < pair.size(); ++i) {
                if (pair[i] == '%' && i + 2 < pair.size()) {
                    value.push_back(static_cast<char>(std::strtol(std::string(pair.substr(i + 1, 2)).c_str(), nullptr, 16)));
                    i += 2;
                } else {
                    value.push_back(pair[i]);
                }
            }
            sockaddr_un socket_address{};
            socket_address.sun_family = AF_UNIX;
            const std::size_t offset = abstract ? 1 : 0;
            if (value.size() + offset >= sizeof socket_address.sun_path)
                return std::nullopt;
            std::memcpy(socket_address.sun_path + offset, value.data(), value.size());
            return socket_address;
        }
    }
    return std::nullopt;
}

} // namespace

struct BusProbe {
    std::mutex lock;
    std::condition_variable settled;
    bool answered = false;
};

std::shared_ptr<BusProbe> bus_probe_create() { return std::make_shared<BusProbe>(); }

bool bus_probe_wait(BusProbe &probe, const std::string &address)
{
    bool reached = true;
    if (const auto target = unix_socket(address)) {
        // The daemon itself answers the first line of its authentication;
        // whatever it answers, it is there.
        const Socket socket;
        const std::size_t length = offsetof(sockaddr_un, sun_path) + (target->sun_path[0] == '\0'
                                                                           ? 1 + std::strlen(target->sun_path + 1)
                                                                           : std::strlen(target->sun_path));
        std::string hello(1, '\0');  // the credentials byte
        hello += "AUTH EXTERNAL ";
        for (const char digit : std::to_string(getuid())) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(digit));
            hello += hex;
        }
        hello += "\r\n";
        pollfd watch{socket.get(), POLLIN, 0};
        char reply;
        reached = socket.get() >= 0 &&
                  connect(socket.get(), reinterpret_cast<const sockaddr *>(&*target), static_cast<socklen_t>(length)) == 0 &&
                  send(socket.get(), hello.data(), hello.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(hello.size()) &&
                  poll(&watch, 1, -1) == 1 && recv(socket.get(), &reply, 1, 0) == 1;
    }
    {
        const std::lock_guard hold(probe.lock);
        probe.answered = true;
    }
    probe.settled.notify_all();
    return reached;
}

void bus_probe_settle(BusProbe &probe, std::chrono::milliseconds patience)
{
    std::unique_lock hold(probe.lock);
    if (!probe.settled.wait_for(hold, patience, [&] { return probe.answered; }) && std::getenv(A11yVariable) == nullptr)
        setenv(A11yVariable, NoA11yBus, 1);
}
