// The client's end-to-end tunnel tests: the process walls off the host's mounts and resolver
// before any thread exists, then runs the real window, page and engine in namespaces.
#include <gtest/gtest.h>

#include <cstdio>

#include "client_test_support.h"
#include "netns.h"

int main(int argc, char** argv) {
    // A process with threads (QApplication starts some) can no longer unshare its mounts.
    const std::string error = netns_test::isolate_process();
    if (!error.empty()) {
        std::fprintf(stderr, "cannot isolate the host: %s\n", error.c_str());
        return 1;
    }
    netns_test::remove_leftover_namespaces();
    return client_test::runClientTests(argc, argv);
}
