// SPDX-License-Identifier: GPL-3.0-or-later
// Every test program's main(): the tests run in a session of their own, so
// that whoever runs them keeps their home, runtime directory, sound server
// and session bus as they were. What a test writes under HOME or
// XDG_RUNTIME_DIR (a sound client's cookie, a dialog's settings) lands in a
// directory removed at the end, and nothing reaches the caller's desktop: no
// sound server of theirs is found or started, and no name is taken on their
// bus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class PrivateSession {
public:
    PrivateSession()
    {
        std::string pattern = (fs::temp_directory_path() / "tonra-session-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        const fs::path home = dir_ / "home", run = dir_ / "run";
        fs::create_directories(home / ".config");
        fs::create_directories(run);
        fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);
        // A sound client that finds no server would start one of its own.
        std::ofstream(dir_ / "client.conf") << "autospawn = no\n";
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
        for (const char *name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "PULSE_SERVER",
                                 "PULSE_COOKIE", "PULSE_RUNTIME_PATH", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR"})
            unsetenv(name);
        setenv("PULSE_CLIENTCONFIG", (dir_ / "client.conf").c_str(), 1);
        // A bus that is not there: the program runs as without one, and a
        // test that wants a bus starts its own.
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir_ / "no-bus").string()).c_str(), 1);
    }
    ~PrivateSession()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    PrivateSession(const PrivateSession &) = delete;
    PrivateSession &operator=(const PrivateSession &) = delete;

private:
    fs::path dir_;
};

}  // namespace

int main(int argc, char **argv)
{
    const PrivateSession session;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
