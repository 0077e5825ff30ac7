#include "TitleWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>

#include "PushButton.h"
#include "program_resources.h"

TitleWidget::TitleWidget(QWidget* parent) : QWidget(parent) {
    loadProgramResources();
    m_logoLabel = new QLabel(this);
    m_titleLabel = new QLabel(QStringLiteral("Orvane"), this);

    QPalette palette = m_titleLabel->palette();
    palette.setBrush(QPalette::All, QPalette::WindowText, QBrush(Qt::white));
    m_titleLabel->setPalette(palette);

    const QPixmap logo = QPixmap(QStringLiteral(":/img/logo"))
                             .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    m_logoLabel->setPixmap(logo);
    m_logoLabel->setFixedSize(logo.size());

    m_minButton = new PushButton();
    m_closeButton = new PushButton();
    m_minButton->setPicName(QStringLiteral(":/sysButton/min"));
    m_closeButton->setPicName(QStringLiteral(":/sysButton/close"));

    connect(m_minButton, &PushButton::clicked, this, &TitleWidget::showMin);
    connect(m_closeButton, &PushButton::clicked, this, &TitleWidget::closeWidget);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_logoLabel);
    layout->addWidget(m_titleLabel);
    layout->addStretch();
    layout->addWidget(m_minButton, 0, Qt::AlignTop);
    layout->addWidget(m_closeButton, 0, Qt::AlignTop);
    layout->setSpacing(5);
    layout->setContentsMargins(5, 0, 5, 0);

    setFixedHeight(28);
}
