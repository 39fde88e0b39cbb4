#include "UiHooks.h"

#include <QMessageBox>

namespace ui {
namespace {
MessageHook& Messages() {
    static MessageHook hook;
    return hook;
}
QuestionHook& Questions() {
    static QuestionHook hook;
    return hook;
}
QString CaptionOr(const QString& caption) { return caption.isEmpty() ? AppTitle() : caption; }
}  // namespace

QString AppTitle() { return QStringLiteral("Brevane"); }

void ShowMessage(QWidget* parent, const QString& text, const QString& caption) {
    if (Messages()) return Messages()(text, CaptionOr(caption));
    QMessageBox box(QMessageBox::NoIcon, CaptionOr(caption), text, QMessageBox::Ok, parent);
    box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) {
    if (Questions()) return Questions()(text, CaptionOr(caption));
    QMessageBox box(QMessageBox::Question, CaptionOr(caption), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void SetMessageHook(MessageHook hook) { Messages() = std::move(hook); }
void SetQuestionHook(QuestionHook hook) { Questions() = std::move(hook); }

}  // namespace ui
