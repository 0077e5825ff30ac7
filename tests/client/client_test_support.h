// Helpers for the client tests: a private copy of the program, its environment, screenshots.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

class QWidget;

namespace client_test {

// A QApplication (the web view needs one, with a home and a private runtime directory)
// around GoogleTest: the body of every client test program's main.
int runClientTests(int argc, char** argv);

// A directory holding a copy of lumar and its page, so that the files the program writes
// beside itself (log, dump, settings) belong to one test. TMPDIR and the login session id of
// the program's environment are private to this copy too, so that instances started from two
// copies never see each other.
class ProgramCopy {
  public:
    // program: the binary copied under the name "lumar" (a test build of it, for instance).
    explicit ProgramCopy(const QString& program = QStringLiteral(LUMAR_BINARY));
    // Removes what a killed program left in the single-instance guard's directory.
    ~ProgramCopy();
    QString dir() const { return m_dir.path(); }
    QString binary() const;
    QString file(const QString& name) const;  // a path beside the program
    QString tempDir() const;                  // the program's TMPDIR
    void writeOptions(const QString& iniText) const;
    QProcessEnvironment environment() const;
    // Starts the program with this copy's environment (plus extra variables); QProcess owns
    // nothing else. Standard error and output are kept separately.
    void start(QProcess& process, const QStringList& args = {},
               const QProcessEnvironment& extra = {}) const;
    // The same as nobody (group nogroup), with a home and runtime directory of its own, the
    // test's display and the engine service at `socketPath`; the copy's files become readable
    // by it, its directory not writable (its log goes to standard error, everything logged).
    void startAsNobody(QProcess& process, const QString& socketPath) const;

  private:
    QTemporaryDir m_dir;
    QString m_sessionId;
};

// quarneld started for a test in the network namespace of the calling thread, serving a socket
// in a directory anyone may enter and allowing group nogroup; ended with SIGTERM.
class EngineService {
  public:
    EngineService();
    ~EngineService();
    // Starts it and waits until it serves.
    bool start();
    QString socketPath() const;
    // What it has logged so far.
    QString log();

  private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_log;
};

// Polls the predicate, processing Qt events between polls.
bool waitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

QString readText(const QString& path);

// A top-level X window as xwininfo sees it on the test's display.
struct XWindowInfo {
    bool found = false;
    QRect geometry;    // absolute position and size
    QString mapState;  // "IsViewable", "IsUnMapped", ...
};
XWindowInfo findXWindow(const QString& title);
// Waits until a window with the title is viewable.
bool waitForViewableXWindow(const QString& title,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Saves a PNG under the build's artifacts directory; returns its path.
QString saveScreenshot(QWidget* widget, const QString& name);
// A screenshot of the whole X screen (the display the test runs on), as PNG.
QString saveScreenScreenshot(const QString& name);

}  // namespace client_test
