// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/display.h"

#include <QLibraryInfo>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

namespace fs = std::filesystem;

// Fixed texts: the one line the program ends with when it has no display,
// headed by its name; scripts and users read them as they are, so keep them
// exactly so.
constexpr char NoDisplayNamed[] = "%s: cannot open display %s\n";
constexpr char NoDisplayNoWayland[] =
    "%s: cannot open display: DISPLAY is not set and Qt's Wayland plugin (qt6-wayland) is not installed\n";
constexpr char NoDisplaySet[] = "%s: cannot open display: neither DISPLAY nor WAYLAND_DISPLAY is set\n";
constexpr char NoWaylandAnswer[] = "%s: cannot open display: DISPLAY is not set and Wayland display %s does not answer\n";

std::string_view env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// Qt's Wayland plugin comes in a package of its own (qt6-wayland); Qt looks
// for platform plugins where these variables say, then in its own directory.
bool wayland_plugin_installed()
{
    std::vector<fs::path> dirs;
    if (const auto dir = env("QT_QPA_PLATFORM_PLUGIN_PATH"); !dir.empty())
        dirs.emplace_back(dir);
    for (std::string_view list = env("QT_PLUGIN_PATH"); !list.empty();) {
        const auto colon = list.find(':');
        if (const auto dir = list.substr(0, colon); !dir.empty())
            dirs.push_back(fs::path(dir) / "platforms");
        list = colon == list.npos ? "" : list.substr(colon + 1);
    }
    dirs.push_back(fs::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) / "platforms");
    for (const auto &dir : dirs) {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(dir, error))
            if (entry.path().filename().string().starts_with("libqwayland"))
                return true;
    }
    return false;
}

// A WAYLAND_DISPLAY left over from a session that has ended names a socket
// nobody listens on, and Qt's Wayland plugin aborts the process there.
bool wayland_answers(std::string_view name)
{
    std::string path(name);
    if (!name.starts_with('/')) {
        const auto runtime = env("XDG_RUNTIME_DIR");
        if (runtime.empty())
            return false;
        path = std::string(runtime) + "/" + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answered = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return answered;
}

bool x_display_opens(const std::string &name)
{
    xcb_connection_t *connection = xcb_connect(name.c_str(), nullptr);
    const bool opened = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return opened;
}

} // namespace

bool display_usable(const char *program, const std::string &server)
{
    // Any other plugin the user chose (offscreen, vnc, wayland) speaks for itself.
    const std::string_view chosen = env("QT_QPA_PLATFORM");
    if (!chosen.empty() && chosen != "xcb")
        return true;
    const std::string_view wayland_name = env("WAYLAND_DISPLAY");
    const bool wayland = !wayland_name.empty() && wayland_answers(wayland_name);
    if (chosen.empty()) {
        if (server.empty() && wayland && wayland_plugin_installed())
            return true;
        // Qt tries Wayland first in a Wayland session and, without its
        // plugin or a compositor that answers, warns or aborts on the way to
        // XWayland: go there directly.
        if (!server.empty() || !wayland_name.empty() || env("XDG_SESSION_TYPE") == "wayland")
            setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    const std::string display(env("DISPLAY"));
    if (!display.empty() && x_display_opens(display))
        return true;
    const std::string name = fs::path(program).filename().string();
    if (!display.empty())
        std::fprintf(stderr, NoDisplayNamed, name.c_str(), display.c_str());
    else if (wayland)
        std::fprintf(stderr, NoDisplayNoWayland, name.c_str());
    else if (!wayland_name.empty())
        std::fprintf(stderr, NoWaylandAnswer, name.c_str(), std::string(wayland_name).c_str());
    else
        std::fprintf(stderr, NoDisplaySet, name.c_str());
    return false;
}
