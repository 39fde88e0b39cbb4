#pragma once
#include <QColor>
#include <QString>
#include <QTextEdit>

// The search log: read-only, multi-line, white background; text may carry a
// colour. Lines are only ever added, the log is never cleared.
class CEditEx : public QTextEdit {
    Q_OBJECT
public:
    explicit CEditEx(QWidget* parent = nullptr);

    // Moves the caret to the end and appends the text. With newLine a line
    // break goes first, unless the log is still empty; without it the text
    // continues the current line unchanged.
    void Log(const QString& text, bool newLine, const QColor& colour = QColor());

    // The whole text with "\r\n" between lines.
    QString LogText() const;
    bool IsEmpty() const;
};
