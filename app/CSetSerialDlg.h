#pragma once
#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

// "Set Serial Number...": shows the module and its current serial number and
// takes the new one, checked while the user types; OK stays disabled, with
// the reason shown, until the text can be written.
class CSetSerialDlg : public QDialog {
    Q_OBJECT
public:
    CSetSerialDlg(const QString& module, const std::string& currentSerial, QWidget* parent = nullptr);

    // The new serial number as typed (single-byte text once accepted).
    std::string Serial() const;

    QLineEdit* SerialEdit() const { return m_edit; }
    QPushButton* OkButton() const { return m_ok; }
    QLabel* ProblemLabel() const { return m_problem; }

private:
    void Check();

    std::string m_current;
    QLineEdit* m_edit = nullptr;
    QLabel* m_problem = nullptr;
    QPushButton* m_ok = nullptr;
};

// "Show Image...": the serial number and hex view of one module's image.
class CImageViewDlg : public QDialog {
    Q_OBJECT
public:
    CImageViewDlg(const QString& module, const QString& view, QWidget* parent = nullptr);
    QString ViewText() const;

private:
    class QPlainTextEdit* m_view = nullptr;
};
