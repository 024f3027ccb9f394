// The about box: program icon, name, version (whose double click toggles debug mode) and links.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace larkpost {

class TClickLabel;

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 339;
    static constexpr int kClientHeight = 232;

    explicit TAboutBox(QWidget* parent = nullptr);

    // Refreshes the version text and the debug label from the run state; runs on every show.
    void Init();
    // Inverts debug mode for the rest of the run and shows it at once.
    void ToggleDebugMode();

    QLabel* ProgramIcon() const { return m_programIcon; }
    QLabel* ProductName() const { return m_productName; }
    TClickLabel* Version() const { return m_version; }
    QLabel* DebugLabel() const { return m_debugLabel; }
    TClickLabel* DonateLabel2() const { return m_donateLabel2; }
    TClickLabel* URL() const { return m_url; }
    QPushButton* BitBtn1() const { return m_okButton; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLabel* m_programIcon;
    QLabel* m_productName;
    TClickLabel* m_version;
    QLabel* m_debugLabel;
    TClickLabel* m_donateLabel2;
    TClickLabel* m_url;
    QPushButton* m_okButton;
};

}  // namespace larkpost
