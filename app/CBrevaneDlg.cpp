#include "CBrevaneDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QShortcut>
#include <QWindow>

#include <cstdlib>

#include "AppSettings.h"
#include "CAboutDlg.h"
#include "CSearchListDlg.h"
#include "CSetSerialDlg.h"
#include "UiHooks.h"
#include "UiThread.h"
#include "WindowRules.h"
#include "families/net/CComm_Yaltro.h"
#include "framework/ImageText.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "platform/Shell.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"
#include "widgets/CLogoWidget.h"
#include "widgets/CSplitterControl.h"

using brevane::ComputeMainLayout;
using brevane::MainLayoutMetrics;

// What the search reports goes to the log and the progress bar of the window.
// The search runs on the worker: each report is queued to the window's thread,
// in order; on the window's thread itself it is shown at once.
class CBrevaneDlg::SinkImpl : public SearchSink {
public:
    explicit SinkImpl(CBrevaneDlg& dlg) : m_dlg(dlg) {}
    void Log(const std::string& text, bool newLine) override {
        Show([this, line = QString::fromStdString(text), newLine] { m_dlg.AppendLog(line, newLine); });
    }
    void ProgressStart(std::int32_t total) override {
        Show([this, total] {
            m_dlg.m_progress->setRange(0, total);
            m_dlg.m_progress->setValue(0);
            m_dlg.m_progressTimer.start(kProgressTickMs);
        });
    }
    void ProgressPause() override {
        Show([this] { m_dlg.m_progressTimer.stop(); });
    }
    void ProgressResume() override {
        Show([this] { m_dlg.m_progressTimer.start(kProgressTickMs); });
    }
    void ProgressStop() override {
        Show([this] {
            m_dlg.m_progressTimer.stop();
            m_dlg.m_progress->setValue(0);
        });
    }

private:
    template <typename F>
    void Show(F&& show) {
        if (ui::OnUiThread())
            show();
        else
            QMetaObject::invokeMethod(&m_dlg, std::forward<F>(show), Qt::QueuedConnection);
    }
    CBrevaneDlg& m_dlg;
};

namespace {

// The picture on the Discover Device button: a magnifying glass.
QIcon DiscoverIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x1f, 0x5f, 0xbf), 3));
    p.setBrush(QColor(0xd8, 0xe8, 0xff));
    p.drawEllipse(QRectF(4, 4, 17, 17));
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(20, 20), QPointF(28, 28));
    return QIcon(pm);
}

}  // namespace

CBrevaneDlg::CBrevaneDlg(QWidget* parent)
    : QMainWindow(parent),
      m_search([](const std::vector<std::string>& list, SearchSink& sink) { return RunDeviceSearch(BuiltInFamilies(), list, sink); }),
      m_openUrl(platform::OpenUrl),
      m_sink(std::make_unique<SinkImpl>(*this)) {
    setWindowTitle(ui::AppTitle());
    BuildMenus();
    BuildClient();

    m_progressTimer.setInterval(kProgressTickMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &CBrevaneDlg::OnProgressTick);

    // Escape and Enter ask to leave, as the close box does; while a search
    // or a write runs, Escape is Stop.
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, this, &CBrevaneDlg::OnEscape);
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* sc = new QShortcut(QKeySequence(key), this);
        connect(sc, &QShortcut::activated, this, &QWidget::close);
    }

    setMinimumSize(brevane::kMinimumWindowSize);
    resize(brevane::kMinimumWindowSize);
    if (QScreen* s = screen()) {
        QRect r(QPoint(0, 0), brevane::kMinimumWindowSize);
        r.moveCenter(s->availableGeometry().center());
        move(r.topLeft());
    }
    m_lastGeometry = WindowGeometry();
    UpdateCommands();
}

CBrevaneDlg::~CBrevaneDlg() {
    if (!m_job.Started()) return;
    // A job still running (the window goes without having been closed): a
    // search is stopped, a write ends by itself; a question the worker has
    // not yet put to the window is not put any more.
    StopCurrentJob();
    ui::CutUiWaits();
    m_job.Join();
    ui::ResumeUiWaits();
}

SearchSink& CBrevaneDlg::Sink() { return *m_sink; }

void CBrevaneDlg::BuildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    m_actWriteImage = file->addAction(QStringLiteral("&Write Image..."), this, &CBrevaneDlg::OnWriteImage);
    m_actSetSerial = file->addAction(QStringLiteral("Set Serial &Number..."), this, &CBrevaneDlg::OnSetSerial);
    m_actProgramSerials =
        file->addAction(QStringLiteral("&Program Serial Numbers..."), this, &CBrevaneDlg::OnProgramSerials);
    m_actShowImage = file->addAction(QStringLiteral("Show &Image..."), this, &CBrevaneDlg::OnShowImage);
    m_actSaveLog = file->addAction(QStringLiteral("Save &Log..."), this, &CBrevaneDlg::OnSaveLog);
    file->addSeparator();
    m_actExit = file->addAction(QStringLiteral("E&xit"), this, &QWidget::close);

    QMenu* operate = menuBar()->addMenu(QStringLiteral("&Operate"));
    m_actDiscover = operate->addAction(QStringLiteral("&Discover Device"), this, &CBrevaneDlg::OnDiscoverDevice);
    m_actSearchList = operate->addAction(QStringLiteral("&Search List..."), this, &CBrevaneDlg::OnSearchList);
    // The Yaltro console's login text, for an instrument whose password is not
    // the maker's default; kept for this session, never shown or logged.
    operate->addAction(QStringLiteral("Yaltro Console &Password..."), this, [this] {
        bool ok = false;
        const QString text = QInputDialog::getText(
            this, windowTitle(), QStringLiteral("Yaltro console password (empty: the maker's default):"),
            QLineEdit::Password, QString(), &ok);
        if (ok) CComm_Yaltro::SetLoginText(text.toStdString());
    });
    // Paced waits end when the awaited reply comes; this item sits every
    // fixed wait out in full, for an instrument that needs the old pace.
    // It changes only between jobs.
    operate->addSeparator();
    m_actOriginalTiming = operate->addAction(QStringLiteral("Original &Timing"));
    m_actOriginalTiming->setCheckable(true);
    connect(m_actOriginalTiming, &QAction::toggled, this, [this](bool on) {
        ApplyOriginalTiming(on);
        if (m_settings) m_settings->SetOriginalTiming(on);
    });

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    m_actAbout = help->addAction(QStringLiteral("&About"), this, &CBrevaneDlg::OnAbout);
    m_actWeb = help->addAction(QStringLiteral("&Quenlor Web"), this, &CBrevaneDlg::OnWeb);
}

void CBrevaneDlg::BuildClient() {
    m_client = new QWidget(this);
    setCentralWidget(m_client);
    m_client->installEventFilter(this);

    m_line = new QFrame(m_client);
    m_line->setFrameShape(QFrame::HLine);
    m_line->setFrameShadow(QFrame::Sunken);
    m_line->setLineWidth(1);

    m_logo = new CLogoWidget(m_client);

    m_discoverBtn = new QPushButton(DiscoverIcon(), QString::fromUtf8(kDiscoverText), m_client);
    m_discoverBtn->setIconSize(QSize(28, 28));
    m_discoverBtn->setEnabled(false);
    m_discoverBtn->setGeometry(8, 10, 160, 42);
    connect(m_discoverBtn, &QPushButton::clicked, this, &CBrevaneDlg::OnDiscoverButton);

    m_listBtn = new QPushButton(QStringLiteral("Search List..."), m_client);
    m_listBtn->setGeometry(176, 10, 110, 42);
    connect(m_listBtn, &QPushButton::clicked, this, &CBrevaneDlg::OnSearchList);

    m_listSummary = new QLabel(m_client);
    m_listSummary->setWordWrap(true);
    m_listSummary->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    m_grid = new CDevShowGrid(m_client);
    m_grid->SetColumnCount(2);
    m_grid->SetHeadingText(0, QStringLiteral("Module"));
    m_grid->SetHeadingText(1, QStringLiteral("S/N"));
    m_grid->SetColumnWidth(0, 100);
    m_grid->SetColumnWidth(1, 130);
    connect(m_grid, &QTableWidget::itemSelectionChanged, this, &CBrevaneDlg::UpdateCommands);
    connect(m_grid, &QTableWidget::cellDoubleClicked, this, [this](int, int column) {
        if (column == 1) OnSetSerial();
    });

    m_splitter = new CSplitterControl(m_client);
    connect(m_splitter, &CSplitterControl::moved, this, &CBrevaneDlg::OnSplitterMoved);

    m_log = new CEditEx(m_client);

    m_progress = new QProgressBar(m_client);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
}

void CBrevaneDlg::LayoutClient() {
    const MainLayoutMetrics metrics;
    const int oldGrid = m_laidOut ? m_grid->height() : 0;
    const int oldLogBottom = m_laidOut ? m_log->y() + m_log->height() : 0;
    const auto L = ComputeMainLayout(m_client->size(), oldGrid, oldLogBottom, metrics);
    m_line->setGeometry(L.line);
    m_logo->setGeometry(L.logo);
    m_grid->setGeometry(L.grid);
    m_splitter->setGeometry(L.splitter);
    m_splitter->SetPaneLimits(metrics.moduleTop, L.progress.y());
    m_log->setGeometry(L.log);
    m_progress->setGeometry(L.progress);
    const int summaryLeft = m_listBtn->x() + m_listBtn->width() + 8;
    m_listSummary->setGeometry(summaryLeft, 10, std::max(0, L.logo.x() - 8 - summaryLeft), 42);
    m_laidOut = true;
}

void CBrevaneDlg::OnSplitterMoved(int newTop) {
    const int T = MainLayoutMetrics{}.moduleTop;
    const int logBottom = m_log->y() + m_log->height();
    m_grid->setGeometry(m_grid->x(), T, m_grid->width(), std::max(0, newTop - T));
    const int logTop = newTop + m_splitter->height();
    m_log->setGeometry(m_log->x(), logTop, m_log->width(), std::max(0, logBottom - logTop));
}

bool CBrevaneDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_client && event->type() == QEvent::Resize) LayoutClient();
    return QMainWindow::eventFilter(watched, event);
}

void CBrevaneDlg::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    EnforceMinimumSize();
}

void CBrevaneDlg::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    m_lastGeometry = WindowGeometry();
}

// The geometry the window system reports: it changes size and position at
// once, while the widget hears of the size before the position.
QRect CBrevaneDlg::WindowGeometry() const {
    const QWindow* w = windowHandle();
    return w ? w->geometry() : geometry();
}

// The window manager receives the minimum size as a size hint and normally
// keeps an interactive resize from going below it, holding the edge opposite
// the dragged one. A manager that lets a smaller geometry through still gets
// the window's own rule: the edges that moved since the last geometry count
// as the dragged ones, and the rectangle is corrected as while sizing.
void CBrevaneDlg::EnforceMinimumSize() {
    const QRect now = WindowGeometry();
    const QSize min = minimumSize();
    if (now.width() < min.width() || now.height() < min.height()) {
        const QRect fixed = brevane::CorrectSizingRect(now, brevane::DraggedEdges(m_lastGeometry, now), min);
        m_lastGeometry = fixed;
        setGeometry(fixed);
        return;
    }
    m_lastGeometry = now;
}

void CBrevaneDlg::SetSearchList(std::vector<std::string> names) {
    m_searchList = std::move(names);
    if (m_settings) m_settings->SetSearchList(m_searchList);
    UpdateCommands();
}

void CBrevaneDlg::UseSettings(const QString& file) {
    m_settings = std::make_unique<CAppSettings>(file);
    if (auto geometry = m_settings->Geometry()) {
        restoreGeometry(*geometry);
        m_lastGeometry = WindowGeometry();
    }
    if (auto list = m_settings->SearchList(CSearchListDlg::OfferedNames())) SetSearchList(std::move(*list));
    const bool original = m_settings->OriginalTiming();
    m_actOriginalTiming->setChecked(original);
    ApplyOriginalTiming(original);
}

void CBrevaneDlg::ApplyOriginalTiming(bool original) {
    SetOriginalTiming(original);
    // The traffic-generator library reads its own switch at each exchange.
    setenv("TAVIKAPI_ORIGINAL_TIMING", original ? "1" : "0", 1);
}

bool CBrevaneDlg::SaveLog(const QString& file) {
    QSaveFile out(file);
    const QByteArray text = m_log->LogText().toUtf8() + "\r\n";
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        ui::ShowMessage(this, QStringLiteral("Cannot save the log to %1: %2").arg(file, out.errorString()),
                        ui::AppTitle());
        return false;
    }
    return true;
}

void CBrevaneDlg::OnSaveLog() {
    const QString file = QFileDialog::getSaveFileName(this, QStringLiteral("Save Log"),
                                                      QStringLiteral("brevane-log.txt"),
                                                      QStringLiteral("Text files (*.txt);;All files (*)"));
    if (!file.isEmpty()) SaveLog(file);
}

void CBrevaneDlg::UpdateCommands() {
    const bool any = !m_searchList.empty();
    // While busy the button is Stop.
    m_discoverBtn->setEnabled(any || m_busy);
    m_actDiscover->setEnabled(any);
    m_actOriginalTiming->setEnabled(!m_busy);
    if (!any)
        m_listSummary->setText(QStringLiteral("Search list is empty: choose families with \"Search List...\"."));
    else {
        QStringList names;
        for (const auto& n : m_searchList) names << QString::fromStdString(n);
        m_listSummary->setText(QStringLiteral("Search for: %1").arg(names.join(QStringLiteral(", "))));
    }
    m_listSummary->setToolTip(m_listSummary->text());
    const bool row = SelectedRow() >= 0;
    m_actSetSerial->setEnabled(row);
    m_actProgramSerials->setEnabled(row);
    m_actShowImage->setEnabled(row);
}

int CBrevaneDlg::SelectedRow() const {
    const int row = m_grid->currentRow();
    const bool selected = row >= 0 && m_grid->selectionModel() && m_grid->selectionModel()->isRowSelected(row);
    return selected && row < static_cast<int>(m_found.size()) ? row : -1;
}

int CBrevaneDlg::SelectedRowOrSay() {
    const int row = SelectedRow();
    if (row < 0) ui::ShowMessage(this, QStringLiteral("Please select a module in the list first!"));
    return row;
}

void CBrevaneDlg::AppendLog(const QString& text, bool newLine) {
    const bool failure = text == QString::fromUtf8(kNotFoundText);
    m_log->Log(text, newLine, failure ? QColor(Qt::red) : QColor());
}

void CBrevaneDlg::OnProgressTick() {
    const int pos = m_progress->value();
    if (pos < m_progress->maximum()) m_progress->setValue(pos + 1);
    if (m_progress->value() == m_progress->maximum()) m_progressTimer.stop();
}

void CBrevaneDlg::OnDiscoverButton() {
    if (m_busy)
        OnStop();
    else
        OnDiscoverDevice();
}

void CBrevaneDlg::OnEscape() {
    if (m_busy)
        OnStop();
    else
        close();
}

void CBrevaneDlg::OnDiscoverDevice() {
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return;
    }
    if (m_searchList.empty()) return;
    m_found.clear();
    StartJob(JobKind::Search, [this, list = m_searchList] { m_jobFound = m_search(list, *m_sink); });
}

void CBrevaneDlg::StartJob(JobKind kind, std::function<void()> job) {
    m_busy = 1;
    m_jobKind = kind;
    m_stopNoted = false;
    m_discoverBtn->setText(QString::fromUtf8(kStopText));
    UpdateCommands();
    // The notice that the job is over is queued behind everything it reported.
    m_job.Start(kind, std::move(job),
                [this] { QMetaObject::invokeMethod(this, [this] { FinishJob(); }, Qt::QueuedConnection); });
}

void CBrevaneDlg::OnStop() {
    if (!m_busy) return;
    switch (StopCurrentJob()) {
    case StopOutcome::Stopping:
        // The search logs that it was stopped when it has ended.
        m_discoverBtn->setEnabled(false);
        break;
    case StopOutcome::WriteRunsToEnd:
        if (!m_stopNoted) AppendLog(QString::fromUtf8(kWriteRunsOnText), true);
        break;
    case StopOutcome::Idle:
        break;
    }
    m_stopNoted = true;
}

void CBrevaneDlg::FinishJob() {
    m_job.Join();
    const JobKind kind = m_jobKind;
    m_jobKind = JobKind::None;
    m_busy = 0;
    m_discoverBtn->setText(QString::fromUtf8(kDiscoverText));
    UpdateCommands();
    if (kind == JobKind::Search) {
        m_found = std::move(m_jobFound);
        m_jobFound.clear();
        RefreshGrid(m_found);
        m_progressTimer.stop();
        m_progress->setValue(0);
    } else if (kind == JobKind::Write) {
        ShowWriteOutcome();
    }
    emit jobFinished();
    if (m_closeAfterJob) {
        m_closeAfterJob = false;
        m_exitConfirmed = true;
        close();
    }
}

void CBrevaneDlg::RefreshGrid(const std::vector<CDeviceInfo>& found) {
    const int want = static_cast<int>(found.size());
    while (m_grid->RowCount() < want) m_grid->AppendRow();
    while (m_grid->RowCount() > want) m_grid->DeleteLastRow();
    for (int row = 0; row < want; ++row) {
        m_grid->SetCellText(row, 0, QString::fromStdString(found[row].m_model));
        // The serial number: one byte, one character (Latin-1), as the command
        // line and its JSON show it.
        const std::string& serial = found[row].m_serial;
        m_grid->SetCellText(row, 1, QString::fromLatin1(serial.data(), static_cast<qsizetype>(serial.size())));
    }
    m_grid->Redraw();
}

void CBrevaneDlg::closeEvent(QCloseEvent* event) {
    if (m_exitConfirmed) {
        if (m_settings) m_settings->SetGeometry(saveGeometry());
        event->accept();
        return;
    }
    if (!ui::AskYesNo(this, QString::fromUtf8(kExitQuestion), ui::AppTitle())) {
        event->ignore();
        return;
    }
    if (!m_busy) {
        if (m_settings) m_settings->SetGeometry(saveGeometry());
        event->accept();
        return;
    }
    // Yes while busy: a search is stopped, a write is finished and its
    // outcome shown; then the window closes (FinishJob).
    m_closeAfterJob = true;
    OnStop();
    event->ignore();
}

void CBrevaneDlg::OnSearchList() {
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return;
    }
    CSearchListDlg dlg(m_searchList, this);
    if (dlg.exec() == QDialog::Accepted) SetSearchList(dlg.Checked());
}

void CBrevaneDlg::OnAbout() {
    CAboutDlg dlg(this);
    dlg.exec();
}

void CBrevaneDlg::OnWeb() { m_openUrl(kWebAddress); }

void CBrevaneDlg::OnShowImage() {
    const int row = SelectedRowOrSay();
    if (row < 0) return;
    const CDeviceInfo& info = m_found[static_cast<std::size_t>(row)];
    CImageViewDlg dlg(QStringLiteral("%1, module index %2").arg(QString::fromStdString(info.m_model)).arg(info.m_moduleIndex),
                      QString::fromLatin1(FormatImageView(info.m_image).c_str()), this);
    dlg.exec();
}

std::string CBrevaneDlg::RegistryNameOf(const std::string& model) {
    if (BuiltInFamilies().Find(model)) return model;
    for (const auto& row : BuiltInFamilies().Rows())
        if (FamilyRegistry::Covers(model, row.name)) return row.name;
    return model;
}
