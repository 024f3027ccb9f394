// The help window: the built-in help page in a browser view above an OK button.
#pragma once

#include <QDialog>
#include <QTextBrowser>

class QPushButton;

namespace larkpost {

// Serves the page's icon, which the program draws rather than stores.
class THelpBrowser : public QTextBrowser {
    Q_OBJECT
public:
    using QTextBrowser::QTextBrowser;
    QVariant loadResource(int type, const QUrl& name) override;
};

class TForm3 : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 529;
    static constexpr int kClientHeight = 510;
    // Where the help page lives among the program's resources.
    static constexpr const char* kHelpPage = "qrc:/help/help.html";

    explicit TForm3(QWidget* parent = nullptr);

    QTextBrowser* WebBrowser1() const { return m_browser; }
    QPushButton* BitBtn1() const { return m_okButton; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    THelpBrowser* m_browser;
    QPushButton* m_okButton;
};

// The help page as plain text, for machines without a display.
std::string HelpPagePlainText();

}  // namespace larkpost
