// The Linux readers' waits over a real pipe: what ends them, and that a reader sleeps through
// its whole time-out, just after traffic too, instead of waking to look.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

#include "reader_wait_linux.h"

namespace {

using namespace std::chrono;

class ReaderWait : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe(pipe_), 0);
        wakeup_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ASSERT_GE(wakeup_, 0);
    }
    void TearDown() override {
        close(pipe_[0]);
        close(pipe_[1]);
        close(wakeup_);
    }

    // A packet arrives and is taken.
    void traffic() {
        ASSERT_EQ(write(pipe_[1], "x", 1), 1);
        int error = 0;
        ASSERT_EQ(wait_fd(pipe_[0], POLLIN, wakeup_, 1000, &error), port_wait::ready);
        char c = 0;
        ASSERT_EQ(read(pipe_[0], &c, 1), 1);
    }

    // A wait of timeout_ms on the empty pipe: its result, how long it took and how often the
    // thread slept.
    port_wait idle_wait(int timeout_ms, milliseconds* took, long* sleeps) {
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        const auto start = steady_clock::now();
        int error = 0;
        const port_wait result = wait_fd(pipe_[0], POLLIN, wakeup_, timeout_ms, &error);
        *took = duration_cast<milliseconds>(steady_clock::now() - start);
        getrusage(RUSAGE_THREAD, &after);
        *sleeps = after.ru_nvcsw - before.ru_nvcsw;
        return result;
    }

    int pipe_[2] = {-1, -1};
    int wakeup_ = -1;
};

TEST_F(ReaderWait, SleepsOnceForTheWholeTimeOutEvenJustAfterTraffic) {
    for (int round = 0; round < 2; ++round) {
        milliseconds took{};
        long sleeps = 0;
        EXPECT_EQ(idle_wait(60, &took, &sleeps), port_wait::timed_out) << round;
        EXPECT_GE(took, 60ms) << round;
        EXPECT_LT(took, 560ms) << round;
        EXPECT_LE(sleeps, 2) << round;
        traffic();
    }
}

TEST_F(ReaderWait, StopAndDataEndAWaitAtOnce) {
    traffic();
    const uint64_t one = 1;
    ASSERT_EQ(write(wakeup_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    milliseconds took{};
    long sleeps = 0;
    EXPECT_EQ(idle_wait(5000, &took, &sleeps), port_wait::woken);
    EXPECT_LT(took, 1000ms);

    uint64_t drained = 0;
    ASSERT_EQ(read(wakeup_, &drained, sizeof drained), static_cast<ssize_t>(sizeof drained));
    ASSERT_EQ(write(pipe_[1], "y", 1), 1);
    int error = 0;
    EXPECT_EQ(wait_fd(pipe_[0], POLLIN, -1, -1, &error), port_wait::ready);
}

}  // namespace
