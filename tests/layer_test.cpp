// SPDX-License-Identifier: GPL-3.0-or-later
// The interface layer's parts that stand on their own: the anchors'
// arithmetic, and the routed signals when no descriptor can be had.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "platform/widgets/ab.h"
#include "platform/widgets/anchors.h"

namespace {

bool operator==(const AnchorEdges &a, const AnchorEdges &b)
{
    return a.lead == b.lead && a.trail == b.trail && a.prop == b.prop && a.lead_prop == b.lead_prop &&
           a.trail_prop == b.trail_prop;
}

struct Placed {
    int pos, size;
    bool operator==(const Placed &) const = default;
};
// A widget designed at 10..30 in a parent of 100, placed in one of 200.
Placed place(const char *anchors, int parent = 200, AnchorSpan designed = {10, 20, 100})
{
    Placed p{};
    p.pos = anchor_axis(anchor_edges(anchors, true), designed, parent, p.size);
    return p;
}

std::atomic<int> Routed[2];
void note(int signo) { ++Routed[signo == SIGUSR2 ? 1 : 0]; }

} // namespace

TEST(Anchors, EachEdgeKeepsItsDistanceOrItsProportion)
{
    EXPECT_TRUE(anchor_edges("", true) == (AnchorEdges{true, false, false, false, false}));
    EXPECT_TRUE(anchor_edges("right", true) == (AnchorEdges{false, true, false, false, false}));
    EXPECT_TRUE(anchor_edges("left|right", true) == (AnchorEdges{true, true, false, false, false}));
    EXPECT_TRUE(anchor_edges("rightprop", true) == (AnchorEdges{true, false, false, false, true}))
        << "a token counts whole, never as the start of another";
    EXPECT_TRUE(anchor_edges("left|right|top|bottom|yprop", false) == (AnchorEdges{true, true, true, false, false}));
    EXPECT_TRUE(anchor_edges("topprop|bottom", false) == (AnchorEdges{false, true, false, true, false}));

    EXPECT_EQ(place(""), (Placed{10, 20}));
    EXPECT_EQ(place("left|right"), (Placed{10, 120}));
    EXPECT_EQ(place("right"), (Placed{110, 20}));
    EXPECT_EQ(place("xprop"), (Placed{20, 20}));
    EXPECT_EQ(place("leftprop|right"), (Placed{20, 110}));
    EXPECT_EQ(place("left|rightprop"), (Placed{10, 50}));
    EXPECT_EQ(place("xprop", 200, {10, 20, 0}), (Placed{10, 20})) << "no designed size: nothing to scale by";
    EXPECT_EQ(place("left|right", 50), (Placed{10, -30})) << "the caller clamps a parent too small";
}

// Every descriptor from the lowest free one up is over the limit while the
// signals are routed, so signalfd fails as it does when the process is out
// of descriptors.
TEST(Signals, WithoutADescriptorTheyStillReachTheHandler)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    testing::internal::CaptureStderr();
    const int lowest = dup(2);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const int result = ab_route_signals({SIGUSR1, SIGUSR2}, note);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(err.starts_with("tonra: ")) << err;

    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGUSR1));
    EXPECT_FALSE(sigismember(&mask, SIGUSR2));
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    ASSERT_EQ(kill(getpid(), SIGUSR2), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((Routed[0] < 1 || Routed[1] < 1) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Routed[0].load(), 1) << "SIGUSR1 reached the handler";
    EXPECT_EQ(Routed[1].load(), 1) << "SIGUSR2 reached the handler";
}
