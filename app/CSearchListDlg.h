#pragma once
#include <QDialog>

#include <string>
#include <vector>

class QListWidget;

// Chooses which families a search looks for: every registry row, then every
// model of the Orvel catalogue, each with a check box.
class CSearchListDlg : public QDialog {
    Q_OBJECT
public:
    CSearchListDlg(const std::vector<std::string>& checked, QWidget* parent = nullptr);

    // The names offered, in order: registry display names, then catalogue names.
    static std::vector<std::string> OfferedNames();

    // The checked names in the order offered.
    std::vector<std::string> Checked() const;
    void SetAllChecked(bool checked);
    QListWidget* List() const { return m_list; }

private:
    QListWidget* m_list = nullptr;
};
