#include "CBrevaneDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
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

#include "AppSettings.h"
#include "CAboutDlg.h"
#include "CSearchListDlg.h"
#include "CWriteImageDlg.h"
#include "UiHooks.h"
#include "WindowRules.h"
#include "framework/ModuleIo.h"
#include "framework/Registry.h"
#include "platform/Shell.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"
#include "widgets/CLogoWidget.h"
#include "widgets/CSplitterControl.h"

using brevane::ComputeMainLayout;
using brevane::MainLayoutMetrics;

// What the search reports goes to the log and the progress bar of the window.
class CBrevaneDlg::SinkImpl : public SearchSink {
public:
    explicit SinkImpl(CBrevaneDlg& dlg) : m_dlg(dlg) {}
    void Log(const std::string& text, bool newLine) override {
        m_dlg.AppendLog(QString::fromStdString(text), newLine);
    }
    void ProgressStart(std::int32_t total) override {
        m_dlg.m_progress->setRange(0, total);
        m_dlg.m_progress->setValue(0);
        m_dlg.m_progressTimer.start(kProgressTickMs);
    }
    void ProgressPause() override { m_dlg.m_progressTimer.stop(); }
    void ProgressResume() override { m_dlg.m_progressTimer.start(kProgressTickMs); }
    void ProgressStop() override {
        m_dlg.m_progressTimer.stop();
        m_dlg.m_progress->setValue(0);
    }

private:
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

// The registry row a listed model belongs to (a catalogue model belongs to
// the Orvel row).
std::string RegistryNameOf(const std::string& model) {
    if (FamilyRegistry::Find(model)) return model;
    for (const auto& row : FamilyRegistry::Rows())
        if (FamilyRegistry::Covers(model, row.name)) return row.name;
    return model;
}

// Restores the busy flag however the guarded work ends.
struct BusyGuard {
    int& flag;
    explicit BusyGuard(int& f) : flag(f) { flag = 1; }
    ~BusyGuard() { flag = 0; }
};

}  // namespace

CBrevaneDlg::CBrevaneDlg(QWidget* parent)
    : QMainWindow(parent),
      m_search([](const std::vector<std::string>& list, SearchSink& sink) { return RunDeviceSearch(list, sink); }),
      m_openUrl(platform::OpenUrl),
      m_sink(std::make_unique<SinkImpl>(*this)) {
    setWindowTitle(ui::AppTitle());
    BuildMenus();
    BuildClient();

    m_progressTimer.setInterval(kProgressTickMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &CBrevaneDlg::OnProgressTick);

    // Escape and Enter ask to leave, as the close box does.
    for (auto key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
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

CBrevaneDlg::~CBrevaneDlg() = default;

SearchSink& CBrevaneDlg::Sink() { return *m_sink; }

void CBrevaneDlg::BuildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    m_actWriteImage = file->addAction(QStringLiteral("&Write Image..."), this, &CBrevaneDlg::OnWriteImage);
    m_actSaveLog = file->addAction(QStringLiteral("Save &Log..."), this, &CBrevaneDlg::OnSaveLog);
    file->addSeparator();
    m_actExit = file->addAction(QStringLiteral("E&xit"), this, &QWidget::close);

    QMenu* operate = menuBar()->addMenu(QStringLiteral("&Operate"));
    m_actDiscover = operate->addAction(QStringLiteral("&Discover Device"), this, &CBrevaneDlg::OnDiscoverDevice);
    m_actSearchList = operate->addAction(QStringLiteral("&Search List..."), this, &CBrevaneDlg::OnSearchList);

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

    m_discoverBtn = new QPushButton(DiscoverIcon(), QStringLiteral("Discover Device"), m_client);
    m_discoverBtn->setIconSize(QSize(28, 28));
    m_discoverBtn->setEnabled(false);
    m_discoverBtn->setGeometry(8, 10, 160, 42);
    connect(m_discoverBtn, &QPushButton::clicked, this, &CBrevaneDlg::OnDiscoverDevice);

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
    m_discoverBtn->setEnabled(any);
    m_actDiscover->setEnabled(any);
    if (!any)
        m_listSummary->setText(QStringLiteral("Search list is empty: choose families with \"Search List...\"."));
    else {
        QStringList names;
        for (const auto& n : m_searchList) names << QString::fromStdString(n);
        m_listSummary->setText(QStringLiteral("Search for: %1").arg(names.join(QStringLiteral(", "))));
    }
    m_listSummary->setToolTip(m_listSummary->text());
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

void CBrevaneDlg::OnDiscoverDevice() {
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return;
    }
    if (m_searchList.empty()) return;

    std::vector<CDeviceInfo> found;
    {
        BusyGuard busy(m_busy);
        m_found.clear();
        // The waits of the families run the event loop, so the window stays
        // live meanwhile and a second click meets the busy check above.
        found = m_search(m_searchList, *m_sink);
    }
    m_found = std::move(found);
    RefreshGrid(m_found);
    m_progressTimer.stop();
    m_progress->setValue(0);
}

void CBrevaneDlg::RefreshGrid(const std::vector<CDeviceInfo>& found) {
    const int want = static_cast<int>(found.size());
    while (m_grid->RowCount() < want) m_grid->AppendRow();
    while (m_grid->RowCount() > want) m_grid->DeleteLastRow();
    for (int row = 0; row < want; ++row) {
        m_grid->SetCellText(row, 0, QString::fromStdString(found[row].m_model));
        m_grid->SetCellText(row, 1, QString::fromStdString(found[row].m_serial));
    }
    m_grid->Redraw();
}

void CBrevaneDlg::closeEvent(QCloseEvent* event) {
    if (ui::AskYesNo(this, QString::fromUtf8(kExitQuestion), ui::AppTitle())) {
        if (m_settings) m_settings->SetGeometry(saveGeometry());
        event->accept();
    } else
        event->ignore();
}

void CBrevaneDlg::OnSearchList() {
    CSearchListDlg dlg(m_searchList, this);
    if (dlg.exec() == QDialog::Accepted) SetSearchList(dlg.Checked());
}

void CBrevaneDlg::OnAbout() {
    CAboutDlg dlg(this);
    dlg.exec();
}

void CBrevaneDlg::OnWeb() { m_openUrl(kWebAddress); }

void CBrevaneDlg::OnWriteImage() {
    std::string family = m_searchList.empty() ? std::string() : RegistryNameOf(m_searchList.front());
    std::int32_t index = 0;
    const int row = m_grid->currentRow();
    if (row >= 0 && row < static_cast<int>(m_found.size())) {
        family = RegistryNameOf(m_found[row].m_model);
        index = m_found[row].m_moduleIndex;
    }
    CWriteImageDlg dlg(family, index, this);
    if (dlg.exec() != QDialog::Accepted) return;
    if (dlg.ViaCardSelection())
        WriteImageFromFile(dlg.Family(), moduleio::ModuleChoice{dlg.ModuleIndex(), true}, dlg.File());
    else
        WriteImageFromFile(dlg.Family(), dlg.ModuleIndex(), dlg.File());
}

std::optional<std::string> CBrevaneDlg::RowSerial(const std::string& family, std::int32_t index) const {
    for (const auto& info : m_found)
        if (info.m_moduleIndex == index && RegistryNameOf(info.m_model) == family) return info.m_serial;
    return std::nullopt;
}

bool CBrevaneDlg::WriteImageFromFile(const std::string& family, std::int32_t index, const QString& file) {
    return WriteImageFromFile(family, moduleio::ModuleChoice{index, false}, file, RowSerial(family, index));
}

bool CBrevaneDlg::WriteImageFromFile(const std::string& family, const moduleio::ModuleChoice& choice,
                                     const QString& file, std::optional<std::string> expectSerial) {
    const std::int32_t index = choice.index;
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return false;
    }
    std::string error;
    const auto image = moduleio::LoadImageFile(file.toStdString(), error);
    if (!image) {
        ui::ShowMessage(this, QStringLiteral("Cannot load the image file:\n%1").arg(QString::fromStdString(error)));
        return false;
    }

    const auto same = moduleio::SameSerialAs(*image, m_found, family, index);
    if (!same.empty()) {
        QStringList owners;
        for (const auto& d : same)
            owners << QStringLiteral("%1, module index %2").arg(QString::fromStdString(d.m_model)).arg(d.m_moduleIndex);
        const QString question = QStringLiteral("The serial number \"%1\" of this image is already used by:\n%2\n\n"
                                                "Write the image anyway?")
                                     .arg(QString::fromStdString(SerialNumberOf(*image)), owners.join('\n'));
        if (!ui::AskYesNo(this, question)) return false;
    }

    const QString target = choice.viaCardSelection
                               ? QStringLiteral("%1 (the card chosen in its card dialog)").arg(QString::fromStdString(family))
                               : QStringLiteral("%1 module index %2").arg(QString::fromStdString(family)).arg(index);
    moduleio::WriteResult result;
    {
        BusyGuard busy(m_busy);
        AppendLog(QStringLiteral("Writing image to %1 . . .").arg(target), true);
        moduleio::WriteOptions options;
        options.expectSerial = std::move(expectSerial);
        options.aboutToWrite = [this](const std::string& module) {
            AppendLog(QStringLiteral(" (%1)").arg(QString::fromStdString(module)), false);
        };
        result = moduleio::WriteImage(family, choice, *image,
                                      m_backupDir.empty() ? moduleio::DefaultBackupDir() : m_backupDir, options);
    }
    if (!result.ok) {
        AppendLog(QStringLiteral(" FAILED"), false);
        ui::ShowMessage(this, QStringLiteral("Writing the image to %1 failed at step \"%2\":\n%3")
                                  .arg(target, QString::fromUtf8(moduleio::WriteStepName(result.failedStep)),
                                       QString::fromStdString(result.error)));
        return false;
    }
    AppendLog(QStringLiteral(" DONE"), false);
    ui::ShowMessage(this, QStringLiteral("The image was written to %1 and read back correctly.\n"
                                         "The previous image was saved to:\n%2")
                              .arg(target, QString::fromStdString(result.backupFile.string())));
    return true;
}
