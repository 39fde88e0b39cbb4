#include "CEditEx.h"

#include <QPalette>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

CEditEx::CEditEx(QWidget* parent) : QTextEdit(parent) {
    setReadOnly(true);
    setAcceptRichText(false);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);
}

void CEditEx::Log(const QString& text, bool newLine, const QColor& colour) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(colour.isValid() ? colour : QColor(Qt::black));

    if (newLine && !document()->isEmpty()) cursor.insertBlock();
    // Line breaks inside the text start new lines as well.
    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalised.replace(QChar('\r'), QChar('\n'));
    const QStringList parts = normalised.split(QChar('\n'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) cursor.insertBlock();
        if (!parts[i].isEmpty()) cursor.insertText(parts[i], format);
    }

    setTextCursor(cursor);
    ensureCursorVisible();
    if (QScrollBar* bar = verticalScrollBar()) bar->setValue(bar->maximum());
}

QString CEditEx::LogText() const {
    QStringList lines;
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) lines << b.text();
    return lines.join(QStringLiteral("\r\n"));
}

bool CEditEx::IsEmpty() const { return document()->isEmpty(); }
