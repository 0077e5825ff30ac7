#include "PushButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

PushButton::PushButton(QWidget* parent) : QPushButton(parent) {}

void PushButton::setPicName(const QString& picName) {
    m_picName = picName;
    setFixedSize(QPixmap(picName).size());
}

void PushButton::enterEvent(QEvent*) {
    m_status = 1;
    update();
}

void PushButton::leaveEvent(QEvent*) {
    m_status = 0;
    update();
}

void PushButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_mousePressed = true;
    m_status = 2;
    update();
}

void PushButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_mousePressed) {
        return;
    }
    // A press released outside is over too: a later release of another button must not click.
    m_mousePressed = false;
    if (!rect().contains(event->pos())) {
        return;
    }
    m_status = 1;
    update();
    emit clicked(false);
}

void PushButton::paintEvent(QPaintEvent*) {
    QString name = m_picName;
    if (m_status == 1) {
        name += QStringLiteral("_hover");
    } else if (m_status == 2) {
        name += QStringLiteral("_pressed");
    }
    QPainter painter(this);
    painter.drawPixmap(rect(), QPixmap(name));
}
