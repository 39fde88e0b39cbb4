#include "CProgramSerialDlg.h"
#include "families/Registry.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString Latin1(const std::string& text) { return QString::fromLatin1(text.c_str()); }

}  // namespace

CProgramSerialDlg::CProgramSerialDlg(std::string family, std::vector<Row> rows, std::vector<std::string> inUse,
                                     std::filesystem::path backupDir, QWidget* parent)
    : QDialog(parent),
      m_family(std::move(family)),
      m_rows(std::move(rows)),
      m_inUse(inUse.begin(), inUse.end()),
      m_backupDir(std::move(backupDir)) {
    setWindowTitle(QStringLiteral("Program Serial Numbers"));
    auto* form = new QFormLayout;
    m_start = new QLineEdit(this);
    m_start->setPlaceholderText(QStringLiteral("e.g. TK1A000100 (its last digits count up)"));
    m_sequence = new QLineEdit(this);
    m_sequence->setPlaceholderText(QStringLiteral("optional: a named sequence that later runs go on with"));
    m_reportFile = new QLineEdit(this);
    m_reportFile->setPlaceholderText(QStringLiteral("optional: CSV report file, one line per module"));
    form->addRow(QStringLiteral("Family:"), new QLabel(QString::fromStdString(m_family), this));
    form->addRow(QStringLiteral("Start serial:"), m_start);
    form->addRow(QStringLiteral("Sequence:"), m_sequence);
    form->addRow(QStringLiteral("Report file:"), m_reportFile);

    m_table = new QTableWidget(static_cast<int>(m_rows.size()), 4, this);
    m_table->setHorizontalHeaderLabels({QStringLiteral("Module"), QStringLiteral("Old S/N"), QStringLiteral("New S/N"),
                                        QStringLiteral("Result")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const int r = static_cast<int>(i);
        m_table->setItem(r, 0, new QTableWidgetItem(QStringLiteral("module %1").arg(m_rows[i].info.m_moduleIndex)));
        m_table->setItem(r, 1, new QTableWidgetItem(Latin1(m_rows[i].info.m_serial)));
        m_table->setItem(r, 2, new QTableWidgetItem);
        m_table->setItem(r, 3, new QTableWidgetItem);
    }

    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    m_startBtn = new QPushButton(QStringLiteral("&Start"), this);
    m_stopBtn = new QPushButton(QStringLiteral("S&top"), this);
    m_closeBtn = new QPushButton(QStringLiteral("&Close"), this);
    m_stopBtn->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_startBtn);
    buttons->addWidget(m_stopBtn);
    buttons->addWidget(m_closeBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_table);
    layout->addWidget(m_status);
    layout->addLayout(buttons);
    resize(620, 360);

    connect(m_start, &QLineEdit::textChanged, this, &CProgramSerialDlg::UpdatePreview);
    connect(m_sequence, &QLineEdit::textChanged, this, &CProgramSerialDlg::UpdatePreview);
    connect(m_startBtn, &QPushButton::clicked, this, &CProgramSerialDlg::OnStart);
    connect(m_stopBtn, &QPushButton::clicked, this, [this] {
        m_stop = true;
        m_stopBtn->setEnabled(false);
        m_status->setText(QStringLiteral("Stopping after the module being written . . ."));
    });
    connect(m_closeBtn, &QPushButton::clicked, this, &CProgramSerialDlg::reject);
    UpdatePreview();
}

CProgramSerialDlg::~CProgramSerialDlg() {
    m_stop = true;
    if (m_worker.Started()) m_worker.Join();  // a write always runs to its end
}

void CProgramSerialDlg::reject() {
    if (m_running) {  // never left while a write runs: Stop first
        m_status->setText(QStringLiteral("Writes are running: press Stop, then Close once the current module is done."));
        return;
    }
    QDialog::reject();
}

std::optional<serialseq::Sequence> CProgramSerialDlg::OpenSequence(bool forPreview, std::string& error) const {
    const std::string start = m_start->text().toStdString();
    const std::string name = m_sequence->text().trimmed().toStdString();
    if (name.empty()) {
        if (start.empty()) {
            error = "give a start serial or a sequence";
            return std::nullopt;
        }
        return serialseq::Sequence::InMemory(start, error);
    }
    if (const auto problem = serialseq::NameProblem(name); !problem.empty()) {
        error = problem;
        return std::nullopt;
    }
    std::error_code ec;
    const bool exists = std::filesystem::exists(serialseq::DefaultDirectory() / name, ec);
    if (forPreview && !exists && !start.empty()) return serialseq::Sequence::InMemory(start, error);
    return serialseq::Sequence::Open(name, start.empty() ? std::nullopt : std::optional<std::string>(start), error);
}

void CProgramSerialDlg::UpdatePreview() {
    if (m_running || m_finished) return;
    std::string error;
    std::vector<serialseq::Sequence::Taken> plan;
    if (auto seq = OpenSequence(true, error)) plan = seq->Preview(m_rows.size(), m_inUse, error);
    if (error.empty() && !plan.empty() && plan.back().serial)
        error = serialprogram::FamilySerialFitProblem(BuiltInFamilies(), m_family, *plan.back().serial);
    else if (error.empty() && !plan.empty())
        error = plan.back().error;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const bool have = i < plan.size() && plan[i].serial;
        m_table->item(static_cast<int>(i), 2)->setText(have ? Latin1(*plan[i].serial) : QString());
        QString note;
        if (i < plan.size() && !plan[i].skipped.empty())
            note = QStringLiteral("skips %1").arg(Latin1(plan[i].skipped.front()));
        m_table->item(static_cast<int>(i), 3)->setText(note);
    }
    const bool ok = error.empty() && plan.size() == m_rows.size();
    m_startBtn->setEnabled(ok && !m_rows.empty());
    m_status->setText(ok ? QStringLiteral("%1 module(s) planned.").arg(m_rows.size())
                         : QString::fromStdString(error));
}

void CProgramSerialDlg::OnStart() {
    if (m_running || m_finished) return;
    std::string error;
    m_run = OpenSequence(false, error);
    const QString reportFile = m_reportFile->text().trimmed();
    if (m_run && !reportFile.isEmpty() && !m_report.Open(reportFile.toStdString(), error)) m_run.reset();
    if (!m_run) {
        m_status->setText(QString::fromStdString(error) + QStringLiteral("; nothing written."));
        return;
    }
    m_running = true;
    m_start->setEnabled(false);
    m_sequence->setEnabled(false);
    m_reportFile->setEnabled(false);
    m_startBtn->setEnabled(false);
    m_stopBtn->setEnabled(true);
    m_closeBtn->setEnabled(false);
    m_status->setText(QStringLiteral("Programming . . ."));
    // One write job for the whole run: the rows one after another, each
    // finished before Stop is looked at.
    m_worker.Start(
        JobKind::Write,
        [this] {
            for (std::size_t i = 0; i < m_rows.size() && !m_stop; ++i) {
                auto r = serialprogram::ProgramModule(BuiltInFamilies(), m_family, m_rows[i].info, *m_run, m_inUse, m_backupDir,
                                                      m_report.IsOpen() ? &m_report : nullptr);
                QMetaObject::invokeMethod(this, [this, i, r] { ModuleDone(static_cast<int>(i), r); },
                                          Qt::QueuedConnection);
            }
        },
        [this] { QMetaObject::invokeMethod(this, [this] { RunEnded(); }, Qt::QueuedConnection); });
}

void CProgramSerialDlg::ModuleDone(int i, const serialprogram::ModuleResult& r) {
    m_table->item(i, 2)->setText(Latin1(r.serial));
    QString text = QString::fromUtf8(r.Result());
    if (!r.programmed)
        text += QStringLiteral(" at %1: %2")
                    .arg(QString::fromUtf8(r.serial.empty() ? "sequence" : moduleio::WriteStepName(r.write.failedStep)),
                         QString::fromStdString(r.error));
    m_table->item(i, 3)->setText(text);
    ++(r.programmed ? m_done : m_failed);
    if (r.programmed && onProgrammed) onProgrammed(m_rows[static_cast<std::size_t>(i)].gridRow, r.write);
}

void CProgramSerialDlg::RunEnded() {
    m_worker.Join();
    m_running = false;
    m_finished = true;
    m_stopBtn->setEnabled(false);
    m_closeBtn->setEnabled(true);
    const int left = static_cast<int>(m_rows.size()) - m_done - m_failed;
    m_status->setText(QStringLiteral("%1 programmed, %2 failed%3.")
                          .arg(m_done)
                          .arg(m_failed)
                          .arg(left > 0 ? QStringLiteral(", %1 not started (stopped)").arg(left) : QString()));
}
