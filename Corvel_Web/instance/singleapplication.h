// The client's application object: one instance per login session. A later start finds the
// running instance through a list shared by all instances of the application id, sends it a
// message and ends; the running one brings its window forward. List, locks and sockets live in
// a directory only this user can enter, so another user's processes can neither end a start
// nor hold it up.
#pragma once

#include <QApplication>
#include <QString>
#include <QVector>

class QEvent;
class QWidget;

namespace InstanceGuard {

class LocalPeer;

class SingleApplication : public QApplication {
    Q_OBJECT

  public:
    SingleApplication(const QString& appId, int& argc, char** argv);
    ~SingleApplication() override;

    // -1 stands for the first live instance found at start-up.
    bool isPeerRunning(qint64 pid = -1);
    bool sendToPeer(const QString& message, int timeout, qint64 pid = -1);

    void setRaiseWindow(QWidget* window, bool raiseOnMessage);
    // Shows the window in its normal state, raises and activates it.
    void raiseWindow();

  signals:
    void messageReceived(const QString& message, QObject* socket);
    void fileOpenRequest(const QString& file);

  protected:
    bool event(QEvent* e) override;

  private:
    void registerInstance();
    QVector<qint64> liveOthers(const QVector<qint64>& pids);

    qint64 m_firstRunningPid;
    // The instance list's lock file, the list's own file beside it with ".list" appended; empty
    // when there is no list.
    QString m_instanceList;
    LocalPeer* m_ownPeer;
    QWidget* m_raiseWindow;
    QString m_appId;
};

}  // namespace InstanceGuard
