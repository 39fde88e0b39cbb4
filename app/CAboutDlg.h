#pragma once
#include <QDialog>
#include <QStringList>

// "About Brevane": the program version and the versions of the vendor
// libraries it speaks to.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    static QStringList Lines();
};
