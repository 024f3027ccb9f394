// The about box.
#include "ui/AboutBox.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/RunState.h"
#include "app/VersionInfo.h"
#include "ui/ClickLabel.h"
#include "ui/Icon.h"
#include "ui/Links.h"

namespace larkpost {

namespace {

QLabel* PlainLine(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(false);
    return label;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutBox");
    setWindowTitle("About...");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    auto* panel = new QFrame(this);
    panel->setObjectName("AboutPanel");
    panel->setFrameShape(QFrame::StyledPanel);

    m_programIcon = new QLabel(panel);
    m_programIcon->setObjectName("ProgramIcon");
    m_programIcon->setPixmap(larkpost::ProgramIcon(48));
    m_programIcon->setFixedSize(48, 48);

    m_productName = new QLabel("Larkpost", panel);
    m_productName->setObjectName("ProductName");
    m_productName->setProperty("role", "product");
    QFont big = m_productName->font();
    big.setPointSize(20);
    big.setBold(true);
    m_productName->setFont(big);
    QPalette yellow = m_productName->palette();
    yellow.setColor(QPalette::WindowText, QColor(0xff, 0xd5, 0x4a));
    m_productName->setPalette(yellow);

    m_version = new TClickLabel("Version ?", panel);
    m_version->setObjectName("Version");
    m_version->setToolTip("Double-click to toggle Debug");
    m_version->setStatusTip("Double-click to toggle Debug");
    connect(m_version, &TClickLabel::DoubleClicked, this, &TAboutBox::ToggleDebugMode);

    auto* nameColumn = new QVBoxLayout;
    nameColumn->setSpacing(0);
    nameColumn->addWidget(m_productName);
    nameColumn->addWidget(m_version);
    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    top->addWidget(m_programIcon, 0, Qt::AlignTop);
    top->addLayout(nameColumn, 1);

    m_debugLabel = new QLabel("Debug Mode On", panel);
    m_debugLabel->setObjectName("DebugLabel");
    m_debugLabel->setProperty("role", "debug");
    QFont bold = m_debugLabel->font();
    bold.setBold(true);
    m_debugLabel->setFont(bold);
    QPalette red = m_debugLabel->palette();
    red.setColor(QPalette::WindowText, QColor(0xff, 0x4d, 0x4d));
    m_debugLabel->setPalette(red);
    m_debugLabel->setVisible(RunState.Debug);

    m_donateLabel2 = new TClickLabel("Donation", panel);
    m_donateLabel2->setObjectName("DonateLabel2");
    m_donateLabel2->setProperty("role", "link");
    m_donateLabel2->setToolTip("Make a donation.");
    connect(m_donateLabel2, &TClickLabel::Clicked, this,
            [] { OpenWithDesktop(QUrl(kDonationUrl)); });
    auto* donateLine = new QHBoxLayout;
    donateLine->setSpacing(4);
    donateLine->addWidget(PlainLine("Like Larkpost? Please consider a", panel));
    donateLine->addWidget(m_donateLabel2);
    donateLine->addStretch(1);

    m_url = new TClickLabel(QUrl(kWebSiteUrl).host(), panel);
    m_url->setObjectName("URL");
    m_url->setProperty("role", "link");
    m_url->setToolTip("Visit website.");
    connect(m_url, &TClickLabel::Clicked, this, [] { OpenWithDesktop(QUrl(kWebSiteUrl)); });

    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(10, 8, 10, 8);
    panelLayout->setSpacing(1);
    panelLayout->addLayout(top);
    panelLayout->addSpacing(4);
    panelLayout->addWidget(PlainLine("Sends one e-mail message through SMTP,", panel));
    panelLayout->addWidget(PlainLine("from its window or from a script.", panel));
    panelLayout->addWidget(PlainLine("Free to use, copy and share.", panel));
    panelLayout->addWidget(m_debugLabel);
    panelLayout->addStretch(1);
    panelLayout->addLayout(donateLine);
    panelLayout->addWidget(m_url);

    m_okButton = new QPushButton("OK", this);
    m_okButton->setObjectName("BitBtn1");
    m_okButton->setDefault(true);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    layout->addWidget(panel, 1);
    layout->addWidget(m_okButton, 0, Qt::AlignHCenter);

    Init();
}

void TAboutBox::Init() {
    m_version->setText(QString::fromStdString(GetVersionText()));
    m_debugLabel->setVisible(RunState.Debug);
}

void TAboutBox::ToggleDebugMode() {
    RunState.Debug = !RunState.Debug;
    m_debugLabel->setVisible(RunState.Debug);
    QApplication::beep();
}

void TAboutBox::showEvent(QShowEvent* event) {
    Init();
    QDialog::showEvent(event);
}

}  // namespace larkpost
