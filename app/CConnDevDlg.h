#pragma once
#include <QDialog>

#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QPushButton;

// "Device IP": asks for the address of a networked device. The box offers the
// addresses found on the network, sorted, the first one chosen; OK checks the
// entry and stays open on an empty or malformed one.
class CConnDevDlg : public QDialog {
    Q_OBJECT
public:
    explicit CConnDevDlg(const std::vector<std::string>& suggestions, QWidget* parent = nullptr);

    // The cleaned address after OK; empty after Cancel.
    std::optional<std::string> Address() const { return m_address; }

    QComboBox* AddressBox() const { return m_box; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }

private slots:
    void OnOk();

private:
    QComboBox* m_box = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    std::optional<std::string> m_address;
};
