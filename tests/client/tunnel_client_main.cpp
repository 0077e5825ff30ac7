// The client's end-to-end tunnel tests: the process walls off the host's mounts and resolver
// before any thread exists, then runs the real window, page and engine in namespaces.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>

#include "netns.h"
#include "webengine_root.h"

int main(int argc, char** argv) {
    // A process with threads (QApplication starts some) can no longer unshare its mounts.
    const std::string error = netns_test::isolate_process();
    if (!error.empty()) {
        std::fprintf(stderr, "cannot isolate the host: %s\n", error.c_str());
        return 1;
    }
    netns_test::remove_leftover_namespaces();
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!qEnvironmentVariableIsSet("HOME")) {
        qputenv("HOME", QDir::tempPath().toLocal8Bit());
    }
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    prepareWebEngineForRoot();
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
