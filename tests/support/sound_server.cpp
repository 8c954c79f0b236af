// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/sound_server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <thread>

#include "support/child.h"

namespace engine_test {

namespace {

using namespace std::chrono_literals;

constexpr const char *PipeWireDaemons[] = {"pipewire", "pipewire-pulse", "wireplumber"};

// The session manager would otherwise take the machine's sound cards,
// cameras and Bluetooth devices, ask a portal on a bus we do not have, and
// give a stream the volume a stream of that name had in an earlier test.
constexpr char WirePlumberMain[] = "alsa_monitor.enabled = false\n"
                                   "v4l2_monitor.enabled = false\n"
                                   "libcamera_monitor.enabled = false\n"
                                   "default_access.properties[\"enable-flatpak-portal\"] = false\n"
                                   "stream_defaults.enabled = false\n";
constexpr char WirePlumberBluetooth[] = "bluez_monitor.enabled = false\n";

std::string read_all(const fs::path &p)
{
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class F> bool within(std::chrono::milliseconds limit, F condition)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

ChildIo log_to(const fs::path &log)
{
    ChildIo io;
    io.out = log;
    io.err_to_out = true;
    return io;
}

// Without reaping it: how it ended is for fate() to tell.
bool alive(pid_t pid)
{
    siginfo_t info{};
    return pid > 0 && waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

}  // namespace

bool SoundServer::available()
{
    const std::string k = kind();
    // pactl tells when the server is ready.
    if (!on_path("pactl"))
        return false;
    if (k == "pulseaudio")
        return on_path("pulseaudio");
    if (k != "pipewire")
        return false;
    for (const char *daemon : PipeWireDaemons)
        if (!on_path(daemon))
            return false;
    return true;
}

std::string SoundServer::missing()
{
    const std::string k = kind();
    if (k == "pulseaudio")
        return "needs pulseaudio and pactl, or else TONRA_TEST_SOUND_SERVER=pipewire";
    if (k == "pipewire")
        return "needs pulseaudio, or pipewire, pipewire-pulse and wireplumber; and pactl";
    return "TONRA_TEST_SOUND_SERVER is neither pulseaudio nor pipewire: " + k;
}

std::string SoundServer::kind()
{
    const char *forced = std::getenv("TONRA_TEST_SOUND_SERVER");
    if (forced != nullptr && *forced != '\0')
        return forced;
    return on_path("pulseaudio") ? "pulseaudio" : "pipewire";
}

SoundServer::SoundServer(const std::string &sink_options)
{
    for (const char *sub : {"home", "run", "config", "state", "data", "cache"})
        fs::create_directories(dir_ / sub);
    fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    const std::string d = dir_.path().string();
    // Everything the daemons would find of the caller's session, replaced
    // or removed.
    env_ = {"HOME=" + d + "/home", "XDG_RUNTIME_DIR=" + d + "/run", "PIPEWIRE_RUNTIME_DIR=" + d + "/run",
            "XDG_CONFIG_HOME=" + d + "/config", "XDG_STATE_HOME=" + d + "/state", "XDG_DATA_HOME=" + d + "/data",
            "XDG_CACHE_HOME=" + d + "/cache", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + d + "/no-bus",
            "DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH",
            "PULSE_CONFIG_PATH", "PULSE_COOKIE", "PIPEWIRE_REMOTE", "PIPEWIRE_CORE", "PIPEWIRE_CONFIG_DIR",
            "PIPEWIRE_PROPS", "PULSE_PROP"};
    if (!available())
        return;
    const bool up = kind() == "pulseaudio" ? start_pulseaudio(sink_options) : start_pipewire(sink_options);
    if (!up)
        kill();
}

SoundServer::~SoundServer() { kill(); }

bool SoundServer::start_pulseaudio(const std::string &sink_options)
{
    socket_ = (dir_ / "run" / "native").string();
    pid_ = spawn_child({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                        "--log-target=stderr", "--log-level=info", "--log-time=1", "-L",
                        "module-null-sink sink_name=tonra " + sink_options, "-L",
                        "module-native-protocol-unix auth-anonymous=1 socket=" + socket_},
                       env_, log_to(dir_ / "pulseaudio.log"));
    return within(20s, [this] { return answers() || !alive(pid_); }) && alive(pid_);
}

bool SoundServer::start_pipewire(const std::string &sink_options)
{
    socket_ = (dir_ / "run" / "pulse" / "native").string();
    // At the rate of the songs, so that what the sink plays is what was
    // written, sample for sample, as PulseAudio's null sink has it.
    fs::create_directories(dir_ / "config" / "pipewire" / "pipewire.conf.d");
    std::ofstream(dir_ / "config" / "pipewire" / "pipewire.conf.d" / "tonra.conf")
        << "context.properties = { default.clock.rate = 44100 default.clock.allowed-rates = [ 44100 ] }\n";
    fs::create_directories(dir_ / "config" / "pipewire" / "pipewire-pulse.conf.d");
    std::ofstream(dir_ / "config" / "pipewire" / "pipewire-pulse.conf.d" / "tonra.conf")
        << "pulse.cmd = [ { cmd = \"load-module\" args = \"module-null-sink sink_name=tonra rate=44100 format=s16le " << sink_options
        << "\" flags = [ ] } ]\n";
    for (const auto &[part, text] : {std::pair{"main.lua.d", WirePlumberMain}, std::pair{"bluetooth.lua.d", WirePlumberBluetooth}}) {
        fs::create_directories(dir_ / "config" / "wireplumber" / part);
        std::ofstream(dir_ / "config" / "wireplumber" / part / "60-tonra.lua") << text;
    }
    const auto start = [this](const char *daemon) {
        return spawn_child({daemon}, env_, log_to(dir_ / (std::string(daemon) + ".log")));
    };
    const pid_t core = start("pipewire");
    helpers_.push_back(core);
    // The others connect once, at their start.
    if (!within(20s, [&] { return fs::exists(dir_ / "run" / "pipewire-0") || !alive(core); }) || !alive(core))
        return false;
    pid_ = start("pipewire-pulse");
    helpers_.push_back(start("wireplumber"));
    // The session manager makes the null sink the default one: from then on
    // a stream finds its way there.
    return within(20s, [this] { return answers() || !alive(pid_); }) && alive(pid_);
}

bool SoundServer::answers() const
{
    std::string out;
    if (FILE *p = popen(("PULSE_SERVER=unix:" + socket_ + " pactl info 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;)
            out.append(buffer, n);
        pclose(p);
    }
    return out.find("Default Sink: tonra\n") != std::string::npos;
}

bool SoundServer::running()
{
    if (int status = 0; pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        ended_ = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                                     : "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    return pid_ > 0;
}

void SoundServer::kill()
{
    if (running()) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    for (auto it = helpers_.rbegin(); it != helpers_.rend(); ++it)
        (void)end_child(*it, 500);
    helpers_.clear();
}

std::string SoundServer::fate()
{
    std::string what = "the " + kind() + " server runs";
    if (!running() && !ended_.empty())
        what = "the " + kind() + " server " + ended_;
    for (const char *log : {"pulseaudio.log", "pipewire.log", "pipewire-pulse.log", "wireplumber.log"}) {
        const std::string text = read_all(dir_ / log);
        if (!text.empty())
            what += "; the end of " + std::string(log) + ":\n" + text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    }
    return what;
}

}  // namespace engine_test
