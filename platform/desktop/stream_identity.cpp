// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/stream_identity.h"

#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

extern char **environ;

namespace {

// The keys of a property list in PulseAudio's text form: key=value pairs
// separated by blanks, values quoted with ' or " or bare.
std::set<std::string> keys_of(std::string_view list)
{
    std::set<std::string> keys;
    std::size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && list[at] == ' ')
            ++at;
        const std::size_t equals = list.find('=', at);
        if (equals == std::string_view::npos)
            break;
        keys.emplace(list.substr(at, equals - at));
        at = equals + 1;
        if (at < list.size() && (list[at] == '\'' || list[at] == '"')) {
            const std::size_t close = list.find(list[at], at + 1);
            at = close == std::string_view::npos ? list.size() : close + 1;
        } else {
            at = list.find(' ', at);
        }
    }
    return keys;
}

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// Every key the user gives PulseAudio: in PULSE_PROP, PULSE_PROP_OVERRIDE
// and the PULSE_PROP_<key> and PULSE_PROP_OVERRIDE_<key> variables.
std::set<std::string> pulse_user_keys()
{
    std::set<std::string> keys = keys_of(env("PULSE_PROP"));
    keys.merge(keys_of(env("PULSE_PROP_OVERRIDE")));
    for (char **e = environ; e && *e; ++e) {
        std::string_view var = *e;
        if (!var.starts_with("PULSE_PROP_"))
            continue;
        var.remove_prefix(11);
        if (var.starts_with("OVERRIDE_"))
            var.remove_prefix(9);
        if (const auto equals = var.find('='); equals != std::string_view::npos)
            keys.emplace(var.substr(0, equals));
    }
    return keys;
}

void set_pulse()
{
    const std::set<std::string> user = pulse_user_keys();
    // The pulse plugin names its client "ALSA plug-in [<program>]" itself,
    // which only an override replaces.
    if (!user.contains("application.name"))
        setenv("PULSE_PROP_OVERRIDE_application.name", "Tonra", 1);
    std::string list = env("PULSE_PROP");
    for (const auto &[key, value] : {std::pair{"application.icon_name", "tonra"}, std::pair{"media.role", "music"}})
        if (!user.contains(key)) {
            // Appended piece by piece: GCC 12 at -O3 takes a temporary
            // string's operator+ for an overlapping copy (-Wrestrict).
            if (!list.empty())
                list += ' ';
            list.append(key).append("='").append(value).append("'");
        }
    setenv("PULSE_PROP", list.c_str(), 1);
}

// PipeWire reads an object of key = value pairs, with or without braces.
void set_pipewire()
{
    std::string props = env("PIPEWIRE_PROPS");
    std::string ours;
    for (const auto &[key, value] : {std::pair{"application.name", "Tonra"}, std::pair{"application.icon-name", "tonra"},
                                     std::pair{"media.role", "Music"}})
        if (props.find(key) == std::string::npos)
            ours += std::string(" ") + key + " = \"" + value + "\"";
    if (ours.empty())
        return;
    if (const auto close = props.rfind('}'); close != std::string::npos)
        props.insert(close, ours + " ");
    else if (props.empty())
        props = "{" + ours + " }";
    else
        props += ours;
    setenv("PIPEWIRE_PROPS", props.c_str(), 1);
}

} // namespace

void stream_identity_set()
{
    set_pulse();
    set_pipewire();
}
