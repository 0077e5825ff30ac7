// Network tests: the process first walls off the host's mounts and resolver, then runs the
// tests, each in namespaces of its own.
#include <gtest/gtest.h>

#include <cstdio>

#include "netns.h"

int main(int argc, char** argv) {
    // Before anything can start a thread: a multi-threaded process cannot unshare its mounts.
    std::string error = netns_test::isolate_process();
    if (!error.empty()) {
        std::fprintf(stderr, "quarnel_net_tests: cannot isolate the host: %s\n", error.c_str());
        return 1;
    }
    netns_test::remove_leftover_namespaces();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
