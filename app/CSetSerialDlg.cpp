#include "CSetSerialDlg.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "framework/ImageText.h"

CSetSerialDlg::CSetSerialDlg(const QString& module, const std::string& currentSerial, QWidget* parent)
    : QDialog(parent), m_current(currentSerial) {
    setWindowTitle(QStringLiteral("Set Serial Number"));
    auto* current = new QLabel(QString::fromLatin1(currentSerial.c_str()), this);
    current->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_edit = new QLineEdit(QString::fromLatin1(currentSerial.c_str()), this);
    m_edit->setMinimumWidth(260);
    m_problem = new QLabel(this);
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #b00000"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Module:"), new QLabel(module, this));
    form->addRow(QStringLiteral("Current serial number:"), current);
    form->addRow(QStringLiteral("New serial number:"), m_edit);
    form->addRow(QString(), m_problem);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (m_ok->isEnabled()) accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_edit, &QLineEdit::textChanged, this, &CSetSerialDlg::Check);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    m_edit->selectAll();
    Check();
}

// Typed text outside Latin-1 becomes '?' here and is refused as such; what
// passes the check is printable ASCII, the same in every encoding.
std::string CSetSerialDlg::Serial() const { return m_edit->text().toLatin1().toStdString(); }

void CSetSerialDlg::Check() {
    const QString typed = m_edit->text();
    std::string problem;
    for (qsizetype i = 0; i < typed.size() && problem.empty(); ++i)
        if (typed[i].unicode() < 0x20 || typed[i].unicode() > 0x7e)
            problem = "character " + std::to_string(i + 1) + " of the serial number is not printable ASCII "
                      "(space to '~')";
    if (problem.empty()) problem = SerialNumberProblem(Serial());
    if (problem.empty() && Serial() == m_current) problem = "this is the current serial number";
    m_problem->setText(QString::fromStdString(problem));
    m_ok->setEnabled(problem.empty());
}

CImageViewDlg::CImageViewDlg(const QString& module, const QString& view, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Image of %1").arg(module));
    m_view = new QPlainTextEdit(view, this);
    m_view->setReadOnly(true);
    m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const QFontMetrics metrics(m_view->font());
    m_view->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('0')) * 80, metrics.lineSpacing() * 19);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view);
    layout->addWidget(buttons);
}

QString CImageViewDlg::ViewText() const { return m_view->toPlainText(); }
