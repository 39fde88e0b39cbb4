#pragma once
#include <QWidget>

// The maker's logo at the top right of the main window, drawn rather than
// loaded so that the program carries no picture files.
class CLogoWidget : public QWidget {
    Q_OBJECT
public:
    explicit CLogoWidget(QWidget* parent = nullptr);
    QSize sizeHint() const override { return QSize(150, 44); }

protected:
    void paintEvent(QPaintEvent* event) override;
};
