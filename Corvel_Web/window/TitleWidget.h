// The frameless window's own title bar: logo, product name, minimise and close buttons. It
// does not act on the window; the window connects the two signals.
#pragma once

#include <QWidget>

class QLabel;
class PushButton;

class TitleWidget : public QWidget {
    Q_OBJECT

  public:
    explicit TitleWidget(QWidget* parent);

  signals:
    void showMin();
    void closeWidget();

  private:
    QLabel* m_logoLabel = nullptr;
    QLabel* m_titleLabel = nullptr;
    PushButton* m_minButton = nullptr;
    PushButton* m_closeButton = nullptr;
};
