#pragma once
#include <QMainWindow>
#include <QRect>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/DeviceInfo.h"
#include "framework/DeviceSearch.h"
#include "framework/Job.h"
#include "framework/ModuleIo.h"

class QAction;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class CDevShowGrid;
class CEditEx;
class CLogoWidget;
class CSplitterControl;

// The main window: the Discover Device button, the grid of found modules,
// the search log and the progress bar. Searches and writes run on a worker
// thread; the window shows what they report and stays live meanwhile.
class CBrevaneDlg : public QMainWindow {
    Q_OBJECT
public:
    using SearchFunction = std::function<std::vector<CDeviceInfo>(const std::vector<std::string>&, SearchSink&)>;
    using UrlOpener = std::function<void(const std::string&)>;

    static constexpr int kProgressTickMs = 200;
    static inline const char* const kWebAddress = "https://www.quenlor.example/";
    static inline const char* const kBusyMessage = "Program is busy,please do it later.";
    static inline const char* const kExitQuestion = "Are you sure to exit Brevane?";
    static inline const char* const kDiscoverText = "Discover Device";
    static inline const char* const kStopText = "Stop";
    static inline const char* const kWriteRunsOnText =
        "A write is never stopped half-way; waiting for it to end . . .";

    explicit CBrevaneDlg(QWidget* parent = nullptr);
    ~CBrevaneDlg() override;

    // The families the next search looks for; Discover is enabled only while
    // the list is not empty.
    void SetSearchList(std::vector<std::string> names);
    const std::vector<std::string>& SearchList() const { return m_searchList; }

    // Starts one search on the worker (or refuses when a search or a write
    // runs already); jobFinished() tells when it is over.
    void OnDiscoverDevice();
    // "Stop" (the Discover button while busy, and Esc): a search ends at its
    // next wait or transfer boundary; a write runs to its end, and the log
    // says so.
    void OnStop();
    // Brings the grid to the found list: rows appended or deleted at the end,
    // then every row written.
    void RefreshGrid(const std::vector<CDeviceInfo>& found);
    // Appends to the log as the search does.
    void AppendLog(const QString& text, bool newLine);

    // Starts writing an image file to one module on the worker; every outcome
    // is told in a message when it ends (jobFinished, LastWriteSucceeded).
    // False when refused before anything was started (busy, a bad file, the
    // shared-serial question answered No).
    // When the last search listed a module of that family and index, the
    // module reached must still carry that row's serial number.
    bool WriteImageFromFile(const std::string& family, std::int32_t index, const QString& file);
    // The same with the module named through the family's card selection, or
    // by index with an explicit serial number to confirm.
    bool WriteImageFromFile(const std::string& family, const moduleio::ModuleChoice& choice, const QString& file,
                            std::optional<std::string> expectSerial = std::nullopt);
    // The serial number of the grid row of that family and module index.
    std::optional<std::string> RowSerial(const std::string& family, std::int32_t index) const;

    // Gives the module of grid row `row` a new serial number: its image as the
    // module holds it, with only the serial text replaced, written the way
    // Write Image writes; the module must still hold the row's serial number.
    // The row shows the new number once the write has been verified. Returns
    // once the write has started (or was refused); jobFinished() tells its end.
    bool SetSerialNumber(int row, const std::string& serial);

    bool IsBusy() const { return m_busy != 0; }
    bool LastWriteSucceeded() const { return m_lastWriteOk; }
    const std::vector<CDeviceInfo>& Found() const { return m_found; }
    SearchSink& Sink();

    // Keeps the search list and the window geometry in this settings file:
    // restores them now, stores the list whenever it changes and the geometry
    // when the window closes.
    void UseSettings(const QString& file);
    // Writes the log's text to a file; false with a message box on failure.
    bool SaveLog(const QString& file);

    // Replaceable collaborators (tests script them).
    void SetSearchFunction(SearchFunction fn) { m_search = std::move(fn); }
    void SetUrlOpener(UrlOpener fn) { m_openUrl = std::move(fn); }
    void SetBackupDir(std::filesystem::path dir) { m_backupDir = std::move(dir); }

    CDevShowGrid* Grid() const { return m_grid; }
    CEditEx* LogView() const { return m_log; }
    QProgressBar* ProgressBar() const { return m_progress; }
    const QTimer& ProgressTimer() const { return m_progressTimer; }
    CSplitterControl* Splitter() const { return m_splitter; }
    CLogoWidget* Logo() const { return m_logo; }
    QFrame* TopLine() const { return m_line; }
    QPushButton* DiscoverButton() const { return m_discoverBtn; }
    QAction* DiscoverAction() const { return m_actDiscover; }
    QAction* ExitAction() const { return m_actExit; }
    QAction* SaveLogAction() const { return m_actSaveLog; }
    QAction* WebAction() const { return m_actWeb; }
    QAction* SetSerialAction() const { return m_actSetSerial; }
    QAction* ProgramSerialsAction() const { return m_actProgramSerials; }
    QAction* ShowImageAction() const { return m_actShowImage; }
    QAction* OriginalTimingAction() const { return m_actOriginalTiming; }
    QWidget* ClientArea() const { return m_client; }

signals:
    // A search or a write has ended and its outcome is shown.
    void jobFinished();

public slots:
    void OnSearchList();
    void OnWriteImage();
    void OnSetSerial();
    void OnProgramSerials();
    void OnShowImage();
    void OnAbout();
    void OnWeb();
    void OnSaveLog();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyOriginalTiming(bool original);
    // The registry row a listed model belongs to (a catalogue model belongs
    // to the Orvel row).
    static std::string RegistryNameOf(const std::string& model);
    class SinkImpl;

    void BuildMenus();
    void BuildClient();
    void LayoutClient();
    void OnSplitterMoved(int newTop);
    void OnProgressTick();
    void OnDiscoverButton();
    void OnEscape();
    // Starts a job on the worker; the window is busy until FinishJob.
    void StartJob(JobKind kind, std::function<void()> job);
    void FinishJob();
    void ShowWriteOutcome();
    void UpdateCommands();
    int SelectedRow() const;
    // The selected module's row; -1, with the user told to select one, when none is.
    int SelectedRowOrSay();
    // The write of a new serial number; the one call that touches the module.
    moduleio::WriteResult RunSerialWrite(const std::string& family, std::int32_t index, const std::string& serial,
                                         const std::string& expectSerial) const;
    // Tells how a serial-number write of the row showing `info` ended, and
    // shows the new number in that row once the write was verified.
    bool ShowSerialOutcome(const CDeviceInfo& info, const moduleio::WriteResult& result);
    // Where the previous image went and the command that puts it back.
    QString BackupText(const moduleio::WriteResult& result) const;
    void EnforceMinimumSize();
    QRect WindowGeometry() const;

    QWidget* m_client = nullptr;
    QFrame* m_line = nullptr;
    CLogoWidget* m_logo = nullptr;
    QPushButton* m_discoverBtn = nullptr;
    QPushButton* m_listBtn = nullptr;
    QLabel* m_listSummary = nullptr;
    CDevShowGrid* m_grid = nullptr;
    CSplitterControl* m_splitter = nullptr;
    CEditEx* m_log = nullptr;
    QProgressBar* m_progress = nullptr;
    QTimer m_progressTimer;

    QAction* m_actExit = nullptr;
    QAction* m_actSaveLog = nullptr;
    QAction* m_actDiscover = nullptr;
    QAction* m_actSearchList = nullptr;
    QAction* m_actOriginalTiming = nullptr;
    QAction* m_actWriteImage = nullptr;
    QAction* m_actSetSerial = nullptr;
    QAction* m_actProgramSerials = nullptr;
    QAction* m_actShowImage = nullptr;
    QAction* m_actAbout = nullptr;
    QAction* m_actWeb = nullptr;

    std::vector<std::string> m_searchList;
    std::vector<CDeviceInfo> m_found;
    int m_busy = 0;
    JobKind m_jobKind = JobKind::None;
    bool m_stopNoted = false;      // Stop was pressed during this job
    bool m_closeAfterJob = false;  // the exit question was answered Yes while busy
    bool m_exitConfirmed = false;
    // Results the worker leaves for FinishJob (read only after the join).
    std::vector<CDeviceInfo> m_jobFound;
    moduleio::WriteResult m_writeResult;
    QString m_writeTarget;
    // The row whose serial number the running write sets, if it is that kind of write.
    std::optional<CDeviceInfo> m_serialWriteOf;
    bool m_lastWriteOk = false;
    bool m_laidOut = false;
    QRect m_lastGeometry;

    SearchFunction m_search;
    UrlOpener m_openUrl;
    std::filesystem::path m_backupDir;
    std::unique_ptr<SinkImpl> m_sink;
    std::unique_ptr<class CAppSettings> m_settings;
    JobThread m_job;  // last: joined before the members the job uses go
};
