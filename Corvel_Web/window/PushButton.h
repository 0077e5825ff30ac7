// A picture button: paints one of three pictures (normal, hover, pressed) over its whole
// rectangle instead of the toolkit's button look.
#pragma once

#include <QPushButton>
#include <QString>

class PushButton : public QPushButton {
  public:
    explicit PushButton(QWidget* parent = nullptr);

    // The normal picture's resource path; "_hover" and "_pressed" name the other two.
    void setPicName(const QString& picName);

  protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    int m_status = 0;  // 0 normal, 1 hover, 2 pressed
    QString m_picName;
    bool m_mousePressed = false;
};
