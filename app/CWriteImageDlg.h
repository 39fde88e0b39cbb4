#pragma once
#include <QDialog>

#include <cstdint>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

// Chooses what "Write Image..." writes: a 256-byte image file, the family and
// the module index (counted from 0 within the family) it goes to. Chassis
// families can instead let the user pick the card in their card dialog.
class CWriteImageDlg : public QDialog {
    Q_OBJECT
public:
    CWriteImageDlg(const std::string& family, std::int32_t index, QWidget* parent = nullptr);

    std::string Family() const;
    std::int32_t ModuleIndex() const;
    QString File() const;
    bool ViaCardSelection() const;

    QCheckBox* CardSelectionBox() const { return m_viaCard; }
    QComboBox* FamilyBox() const { return m_family; }

    QLineEdit* FileEdit() const { return m_file; }

private slots:
    void OnBrowse();
    void OnOk();
    void OnFamilyChanged();

private:
    QComboBox* m_family = nullptr;
    QSpinBox* m_index = nullptr;
    QCheckBox* m_viaCard = nullptr;
    QLineEdit* m_file = nullptr;
};
