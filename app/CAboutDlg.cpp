#include "CAboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "families/net/CComm_Orvel.h"
#include "platform/VersionNote.h"
#include "tavikapi.h"
#include "widgets/CLogoWidget.h"

QStringList CAboutDlg::Lines() {
    const QString version = QString::fromStdString(platform::ProductVersionOfRunningProgram());
    // The device library reports the product version of the program that
    // loaded it; the chassis-server library its own version.
    char tavik[TAVIK_VERSION_TEXT_SIZE] = {};
    Tavik_GetDllVersion(tavik);
    tavik[sizeof tavik - 1] = '\0';
    return {
        QStringLiteral("Brevane Version %1").arg(version),
        QString::fromStdString(ZelVersionLine().empty() ? std::string("ZelAPI v") : ZelVersionLine()),
        QStringLiteral("HarloAPI v0.9b027"),
        QStringLiteral("TavikAPI %1").arg(QString::fromLocal8Bit(tavik)),
        QStringLiteral("Module identity tool for Quenlor test instruments"),
        QStringLiteral("Copyright (C) Quenlor Instruments"),
    };
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Brevane"));
    auto* text = new QVBoxLayout;
    for (const QString& line : Lines()) text->addWidget(new QLabel(line, this));
    auto* top = new QHBoxLayout;
    top->addWidget(new CLogoWidget(this), 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(text, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
}
