// Test programs of the client: a QApplication (the web view needs one) around GoogleTest.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>

#include "webengine_root.h"

int main(int argc, char** argv) {
    // Qt WebEngine wants a home and a private runtime directory.
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
