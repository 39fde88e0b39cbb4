#pragma once
#include <QDialog>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "framework/DeviceInfo.h"
#include "framework/Job.h"
#include "framework/ProgramReport.h"
#include "framework/SerialProgram.h"
#include "framework/SerialSequence.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

// "Program Serial Numbers...": the modules of one family (the grid's rows of
// it, in grid order) get the next serials of a start text or a named
// sequence, each through the one write path. The preview shows the planned
// serial per row; Start runs the writes as one write job on a worker of the
// dialog's own, so the window stays live; each row's result shows as it
// happens; Stop ends after the module being written.
class CProgramSerialDlg : public QDialog {
    Q_OBJECT
public:
    struct Row {
        int gridRow = 0;
        CDeviceInfo info;
    };
    // `inUse`: the serials of every module of the search (skipped when planned).
    CProgramSerialDlg(std::string family, std::vector<Row> rows, std::vector<std::string> inUse,
                      std::filesystem::path backupDir, QWidget* parent = nullptr);
    ~CProgramSerialDlg() override;

    // Told on the window's thread for each module programmed (verified).
    std::function<void(int gridRow, const moduleio::WriteResult& result)> onProgrammed;

    QLineEdit* StartEdit() const { return m_start; }
    QLineEdit* SequenceEdit() const { return m_sequence; }
    QLineEdit* ReportEdit() const { return m_reportFile; }
    QTableWidget* Table() const { return m_table; }
    QPushButton* StartButton() const { return m_startBtn; }
    QPushButton* StopButton() const { return m_stopBtn; }
    QLabel* Status() const { return m_status; }
    bool Running() const { return m_running; }
    bool Finished() const { return m_finished; }
    // Close: refused (with a word) while writes run.
    void reject() override;

private:
    void UpdatePreview();
    // The sequence the fields name; a preview makes no file.
    std::optional<serialseq::Sequence> OpenSequence(bool forPreview, std::string& error) const;
    void OnStart();
    void ModuleDone(int i, const serialprogram::ModuleResult& r);
    void RunEnded();

    std::string m_family;
    std::vector<Row> m_rows;
    std::set<std::string> m_inUse;
    std::filesystem::path m_backupDir;
    QLineEdit* m_start = nullptr;
    QLineEdit* m_sequence = nullptr;
    QLineEdit* m_reportFile = nullptr;
    QTableWidget* m_table = nullptr;
    QPushButton* m_startBtn = nullptr;
    QPushButton* m_stopBtn = nullptr;
    QPushButton* m_closeBtn = nullptr;
    QLabel* m_status = nullptr;
    bool m_running = false;
    bool m_finished = false;
    int m_done = 0, m_failed = 0;
    std::atomic<bool> m_stop{false};
    std::optional<serialseq::Sequence> m_run;  // used by the worker while it runs
    programreport::Report m_report;
    JobThread m_worker;  // last: joined first when the dialog goes
};
