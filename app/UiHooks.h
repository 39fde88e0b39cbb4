#pragma once
#include <QString>

#include <functional>

class QWidget;

// Every message box and yes/no question of the program goes through here, so
// that a test can answer them instead of a person.
namespace ui {

// The application title: the default caption of messages and questions.
QString AppTitle();

using MessageHook = std::function<void(const QString& text, const QString& caption)>;
using QuestionHook = std::function<bool(const QString& text, const QString& caption)>;

// A modal message with an OK button; an empty caption means the application title.
void ShowMessage(QWidget* parent, const QString& text, const QString& caption = QString());
// A modal Yes/No question; true for Yes.
bool AskYesNo(QWidget* parent, const QString& text, const QString& caption = QString());

// Replace the boxes; an empty function restores them.
void SetMessageHook(MessageHook hook);
void SetQuestionHook(QuestionHook hook);

}  // namespace ui
