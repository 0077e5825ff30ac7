#include "driver_provisioning.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QString>

#include "tun_driver.h"

namespace {

bool offerInstallation() {
    QMessageBox offer(QMessageBox::Question, QStringLiteral("安装虚拟网卡驱动"),
                      QStringLiteral("您尚未安装有效的【虚拟网卡驱动】，不安装将导致程序无法运行。"
                                     "\r\n要立即安装吗？"),
                      QMessageBox::Yes | QMessageBox::No);
    offer.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    offer.button(QMessageBox::No)->setText(QStringLiteral("否"));
    return offer.exec() == QMessageBox::Yes;
}

// Every failure ends start-up after its dialog.
bool fail(const QString& text) {
    QMessageBox error(QMessageBox::Critical, QStringLiteral("错误"), text, QMessageBox::Ok);
    error.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    error.exec();
    return false;
}

}  // namespace

bool provisionTapDriver() {
    if (isTapDriverInstalled()) {
        return true;
    }
    if (!offerInstallation()) {
        return false;
    }
    if (!tunDriverSupported()) {
        return fail(QStringLiteral("对不起，程序暂不支持您的操作系统！"));
    }
    if (!prepareTunDriverInstall()) {
        return fail(QStringLiteral("释放安装文件失败！"));
    }
    if (!runTunDriverInstall()) {
        return fail(QStringLiteral("启动安装进程失败！"));
    }
    if (!isTapDriverInstalled()) {
        return fail(QStringLiteral("虚拟网卡驱动安装失败！"));
    }
    return true;
}
