#pragma once
#include <QDialog>

#include "framework/Prompt.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTreeWidget;

// The card-selection dialog of the chassis families: a thin view over the
// family's selection model, which fills the rows and decides what OK accepts.
class CCardSelView : public QDialog {
    Q_OBJECT
public:
    explicit CCardSelView(ICardSelection& model, QWidget* parent = nullptr);

    QTreeWidget* List() const { return m_list; }
    QRadioButton* InitializeButton() const { return m_initialize; }
    QRadioButton* ModifyButton() const { return m_modify; }
    QGroupBox* ModeGroup() const { return m_modeGroup; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }

    // Shows the dialog modally; an empty list ends it at once as cancelled.
    int exec() override;

private slots:
    void OnOk();

private:
    ICardSelection& m_model;
    QTreeWidget* m_list = nullptr;
    QGroupBox* m_modeGroup = nullptr;
    QRadioButton* m_initialize = nullptr;
    QRadioButton* m_modify = nullptr;
    QLabel* m_note = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
};
