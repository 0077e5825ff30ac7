// The driver check at start-up, with /dev/net/tun hidden in a private mount namespace: the
// offer dialog, its answers, and each failure dialog with the cause that leads to it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "client_test_support.h"
#include "driver_provisioning.h"
#include "single_instance_x11.h"
#include "x11_keys.h"

namespace {

// Mount changes stay in this process: entered before the application object starts threads.
const bool g_privateMounts = [] {
    return unshare(CLONE_NEWNS) == 0 &&
           mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}();

const QString kOfferTitle = QStringLiteral("安装虚拟网卡驱动");
const QString kOfferText = QStringLiteral(
    "您尚未安装有效的【虚拟网卡驱动】，不安装将导致程序无法运行。\r\n要立即安装吗？");

class ScopedMount {
  public:
    ScopedMount(const QString& source, const QString& target, const char* type, unsigned long flags,
                const char* options = nullptr)
        : m_target(target) {
        m_mounted = mount(QFile::encodeName(source).constData(),
                          QFile::encodeName(target).constData(), type, flags, options) == 0;
    }
    ~ScopedMount() {
        if (m_mounted) {
            umount2(QFile::encodeName(m_target).constData(), MNT_DETACH);
        }
    }
    bool mounted() const { return m_mounted; }

  private:
    QString m_target;
    bool m_mounted = false;
};

// An empty /dev/net in place of the real one.
std::unique_ptr<ScopedMount> hideDevice(unsigned long flags = 0) {
    return std::make_unique<ScopedMount>(QStringLiteral("none"), QStringLiteral("/dev/net"),
                                         "tmpfs", flags, "mode=0755");
}

struct SeenDialog {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QStringList buttons;
    bool parentless;
    bool modal;
};

// Answers each message box as it comes up (by the label of the button to press) and keeps
// what it showed.
class DialogAnswerer {
  public:
    explicit DialogAnswerer(QString offerAnswer) : m_offerAnswer(std::move(offerAnswer)) {
        QObject::connect(&m_poll, &QTimer::timeout, [this] { answer(); });
        m_poll.start(20);
    }
    const std::vector<SeenDialog>& seen() const { return m_seen; }

  private:
    void answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == m_answered) {
            return;
        }
        m_answered = box;
        SeenDialog dialog{box->windowTitle(), box->text(),   box->icon(), {},
                          !box->parent(),     box->isModal()};
        for (QAbstractButton* button : box->buttons()) {
            dialog.buttons << button->text();
        }
        dialog.buttons.sort();
        m_seen.push_back(dialog);
        const QString press =
            box->windowTitle() == kOfferTitle ? m_offerAnswer : QStringLiteral("确定");
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == press) {
                button->click();
            }
        }
    }

    QString m_offerAnswer;
    QTimer m_poll;
    QPointer<QMessageBox> m_answered;
    std::vector<SeenDialog> m_seen;
};

void expectOffer(const SeenDialog& dialog) {
    EXPECT_EQ(dialog.title, kOfferTitle);
    EXPECT_EQ(dialog.text, kOfferText);
    EXPECT_EQ(dialog.icon, QMessageBox::Question);
    EXPECT_EQ(dialog.buttons, (QStringList{QStringLiteral("否"), QStringLiteral("是")}));
    EXPECT_TRUE(dialog.parentless);
    EXPECT_TRUE(dialog.modal);
}

bool deviceNodeIsTun() {
    struct stat node {};
    return stat("/dev/net/tun", &node) == 0 && S_ISCHR(node.st_mode) && major(node.st_rdev) == 10 &&
           minor(node.st_rdev) == 200 && (node.st_mode & 0777) == 0666;
}

class DriverCheck : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(g_privateMounts) << "a private mount namespace needs root";
        ASSERT_TRUE(isTapDriverInstalled()) << "this host has no working TUN device";
    }
};

TEST_F(DriverCheck, OfferAnsweredNoEndsStartUpWithoutAnyOtherDialog) {
    auto hidden = hideDevice();
    ASSERT_TRUE(hidden->mounted());
    DialogAnswerer answerer(QStringLiteral("否"));
    EXPECT_FALSE(provisionTapDriver());
    ASSERT_EQ(answerer.seen().size(), 1u);
    expectOffer(answerer.seen()[0]);
    EXPECT_FALSE(QFile::exists(QStringLiteral("/dev/net/tun")));
}

TEST_F(DriverCheck, OfferAnsweredYesRestoresAWorkingDeviceAndStartUpGoesOn) {
    auto hidden = hideDevice();
    ASSERT_TRUE(hidden->mounted());
    DialogAnswerer answerer(QStringLiteral("是"));
    EXPECT_TRUE(provisionTapDriver());
    ASSERT_EQ(answerer.seen().size(), 1u);
    expectOffer(answerer.seen()[0]);
    EXPECT_TRUE(deviceNodeIsTun());
    EXPECT_TRUE(isTapDriverInstalled());
}

TEST_F(DriverCheck, WorkingDeviceShowsNoDialog) {
    DialogAnswerer answerer(QStringLiteral("否"));
    EXPECT_TRUE(provisionTapDriver());
    EXPECT_TRUE(answerer.seen().empty());
}

// Each failure: what breaks, and the dialog after the offer that says so.
struct Failure {
    const char* name;
    const char* text;
    std::function<std::vector<std::unique_ptr<ScopedMount>>(const QString& scratch)> breakIt;
};

std::vector<std::unique_ptr<ScopedMount>> mounts(std::unique_ptr<ScopedMount> first) {
    std::vector<std::unique_ptr<ScopedMount>> all;
    all.push_back(std::move(first));
    return all;
}

QString scratchFile(const QString& scratch, const QString& name, const QByteArray& content) {
    const QString path = scratch + QLatin1Char('/') + name;
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(content);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

const Failure kFailures[] = {
    // No TUN in the kernel and no module for it.
    {"Unsupported", "对不起，程序暂不支持您的操作系统！",
     [](const QString& scratch) {
         auto all = mounts(hideDevice());
         all.push_back(std::make_unique<ScopedMount>(
             scratchFile(scratch, QStringLiteral("misc"), "  1 psaux\n"),
             QStringLiteral("/proc/misc"), nullptr, MS_BIND));
         if (QDir(QStringLiteral("/lib/modules")).exists()) {
             all.push_back(std::make_unique<ScopedMount>(
                 QStringLiteral("none"), QStringLiteral("/lib/modules"), "tmpfs", 0));
         }
         return all;
     }},
    // The device node cannot be made.
    {"NodeNotCreated", "释放安装文件失败！",
     [](const QString&) { return mounts(hideDevice(MS_RDONLY)); }},
    // modprobe dies of a signal.
    {"ModprobeCrashes", "启动安装进程失败！",
     [](const QString& scratch) {
         auto all = mounts(hideDevice());
         const QString modprobe = QStandardPaths::findExecutable(
             QStringLiteral("modprobe"), {QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")});
         all.push_back(std::make_unique<ScopedMount>(
             scratchFile(scratch, QStringLiteral("modprobe"), "#!/bin/sh\nkill -SEGV $$\n"),
             modprobe, nullptr, MS_BIND));
         return all;
     }},
    // Everything ran, yet no interface can be made: device nodes do not work on this mount.
    {"StillNoDevice", "虚拟网卡驱动安装失败！",
     [](const QString&) { return mounts(hideDevice(MS_NODEV)); }},
};

class DriverFailure : public DriverCheck, public testing::WithParamInterface<Failure> {};

TEST_P(DriverFailure, OfferAnsweredYesEndsInItsErrorDialog) {
    const Failure& failure = GetParam();
    QTemporaryDir scratch;
    const auto broken = failure.breakIt(scratch.path());
    for (const auto& step : broken) {
        ASSERT_TRUE(step->mounted());
    }
    DialogAnswerer answerer(QStringLiteral("是"));
    EXPECT_FALSE(provisionTapDriver());
    ASSERT_EQ(answerer.seen().size(), 2u);
    expectOffer(answerer.seen()[0]);
    const SeenDialog& error = answerer.seen()[1];
    EXPECT_EQ(error.title, QStringLiteral("错误"));
    EXPECT_EQ(error.text, QString::fromUtf8(failure.text));
    EXPECT_EQ(error.icon, QMessageBox::Critical);
    EXPECT_EQ(error.buttons, QStringList{QStringLiteral("确定")});
    EXPECT_TRUE(error.parentless);
    EXPECT_TRUE(error.modal);
}

INSTANTIATE_TEST_SUITE_P(Causes, DriverFailure, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<Failure>& info) {
                             return std::string(info.param.name);
                         });

// The real program in this namespace, the device hidden: the first window it shows is the offer.
unsigned long startWithoutDevice(const client_test::ProgramCopy& copy, QProcess& process) {
    copy.start(process);
    unsigned long offer = 0;
    client_test::waitFor(
        [&] { return (offer = x11_probe::viewableWindowOf(process.processId())) != 0; },
        std::chrono::seconds(30));
    return offer;
}

// The real program, started in this namespace with the device hidden: its only window is the
// offer; closing it answers No and the program ends with 1.
TEST_F(DriverCheck, ProgramWithoutDeviceEndsWithOneWhenTheOfferIsDeclined) {
    auto hidden = hideDevice();
    ASSERT_TRUE(hidden->mounted());
    client_test::ProgramCopy copy;
    QProcess process;
    const unsigned long offer = startWithoutDevice(copy, process);
    ASSERT_NE(offer, 0u);
    client_test::saveScreenScreenshot(QStringLiteral("driver_offer"));
    x11_probe::requestClose(offer);

    bool otherWindow = false;
    ASSERT_TRUE(client_test::waitFor(
        [&] {
            const unsigned long window = x11_probe::viewableWindowOf(process.processId());
            otherWindow = otherWindow || (window != 0 && window != offer);
            return process.state() == QProcess::NotRunning;
        },
        std::chrono::seconds(15)));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_FALSE(otherWindow);
    EXPECT_FALSE(QFile::exists(QStringLiteral("/dev/net/tun")));
}

TEST_F(DriverCheck, ProgramWithoutDeviceMakesItAndShowsItsWindowWhenTheOfferIsAccepted) {
    auto hidden = hideDevice();
    ASSERT_TRUE(hidden->mounted());
    client_test::ProgramCopy copy;
    QProcess process;
    const unsigned long offer = startWithoutDevice(copy, process);
    ASSERT_NE(offer, 0u);
    // Return presses the default button, "是".
    ASSERT_TRUE(x11_keys::pressReturn(offer));

    unsigned long window = 0;
    EXPECT_TRUE(client_test::waitFor(
        [&] {
            window = x11_probe::viewableWindowOf(process.processId());
            return window != 0 && window != offer;
        },
        std::chrono::seconds(30)));
    // Time for the page to paint before the picture.
    client_test::waitFor([] { return false; }, std::chrono::seconds(3));
    client_test::saveScreenScreenshot(QStringLiteral("driver_accepted"));
    EXPECT_EQ(process.state(), QProcess::Running);
    EXPECT_TRUE(deviceNodeIsTun());
    process.kill();
    process.waitForFinished();
}

// As nobody the program asks the engine service (root, in this mount namespace) whether the
// device works, and its "是" has the service make it.
TEST_F(DriverCheck, ProgramOfAnotherUserHasTheServiceMakeTheDevice) {
    auto hidden = hideDevice();
    ASSERT_TRUE(hidden->mounted());
    client_test::EngineService service;
    ASSERT_TRUE(service.start()) << service.log().toStdString();
    client_test::ProgramCopy copy;
    QProcess process;
    copy.startAsNobody(process, service.socketPath());
    unsigned long offer = 0;
    ASSERT_TRUE(client_test::waitFor(
        [&] { return (offer = x11_probe::viewableWindowOf(process.processId())) != 0; },
        std::chrono::seconds(30)))
        << process.readAllStandardError().toStdString();
    ASSERT_TRUE(x11_keys::pressReturn(offer));

    EXPECT_TRUE(client_test::waitFor(
        [&] {
            const unsigned long window = x11_probe::viewableWindowOf(process.processId());
            return window != 0 && window != offer;
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(process.state(), QProcess::Running);
    EXPECT_TRUE(deviceNodeIsTun());
    EXPECT_TRUE(service.log().contains(QStringLiteral("TUN device asked for: it works")))
        << service.log().toStdString();
    process.kill();
    process.waitForFinished();
}

}  // namespace
