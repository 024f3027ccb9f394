// The help window.
#include "ui/HelpForm.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

#include "ui/Icon.h"
#include "ui/Resources.h"

namespace larkpost {

QVariant THelpBrowser::loadResource(int type, const QUrl& name) {
    if (type == QTextDocument::ImageResource && name.fileName() == "larkpost-icon.png")
        return ProgramIcon(32).toImage();
    return QTextBrowser::loadResource(type, name);
}

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
    InitUiResources();
    setObjectName("Form3");
    setWindowTitle("Larkpost Help");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);

    // The panel the browser view fills; the layout keeps it filling the panel on every resize.
    auto* panel = new QWidget(this);
    panel->setObjectName("Panel1");
    m_browser = new THelpBrowser(panel);
    m_browser->setObjectName("WebBrowser1");
    m_browser->setOpenExternalLinks(true);
    m_browser->setSource(QUrl(kHelpPage));
    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->addWidget(m_browser);

    m_okButton = new QPushButton("OK", this);
    m_okButton->setObjectName("BitBtn1");
    m_okButton->setDefault(true);
    m_okButton->setMinimumWidth(80);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_okButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(panel, 1);
    layout->addLayout(buttons);

    resize(kClientWidth, kClientHeight);
    setMinimumSize(kClientWidth, kClientHeight);
}

void TForm3::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The page can be scrolled with the keyboard at once.
    if (!m_browser->document()->isEmpty()) m_browser->setFocus();
}

std::string HelpPagePlainText() {
    InitUiResources();
    THelpBrowser browser;
    browser.setSource(QUrl(TForm3::kHelpPage));
    return browser.toPlainText().toStdString();
}

}  // namespace larkpost
