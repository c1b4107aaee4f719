#pragma once
// What the windows ask of the desktop: file dialogs, message boxes, the
// shell's "open" of a document and the clock. Tests put their own in place.

#include <QString>
#include <QStringList>

class QWidget;

namespace vistarium::desktop {

class DesktopServices {
public:
  virtual ~DesktopServices() = default;
  // Chosen files, full paths; empty when the user cancels. `filter` is in
  // the form "Description|patterns|Description|patterns".
  virtual QStringList ChooseFilesToOpen(QWidget* parent, const QString& title, const QString& filter,
                                        bool several) = 0;
  // The chosen name as typed (no extension added, no overwrite question);
  // empty when the user cancels.
  virtual QString ChooseFileToSave(QWidget* parent, const QString& title, const QString& filter) = 0;
  virtual void Inform(QWidget* parent, const QString& text) = 0;
  // A question with the buttons Yes and No; true for Yes.
  virtual bool Ask(QWidget* parent, const QString& text) = 0;
  // A question with the buttons Yes, No and Cancel (Escape and closing the
  // box answer Cancel).
  enum class Answer { Yes, No, Cancel };
  virtual Answer AskYesNoCancel(QWidget* parent, const QString& text) = 0;
  // The report of an error that ended a command.
  virtual void ReportError(QWidget* parent, const QString& text) = 0;
  // Asks the desktop to show a document with its default viewer; false when
  // it cannot.
  virtual bool OpenDocument(const QString& path) = 0;
  // The current date-time in days (86400 seconds a day). Called from the
  // thread that runs a phase, too.
  virtual double Now() = 0;
};

// The real desktop: Qt's dialogs and message boxes, the system clock.
class QtDesktopServices : public DesktopServices {
public:
  QStringList ChooseFilesToOpen(QWidget* parent, const QString& title, const QString& filter, bool several) override;
  QString ChooseFileToSave(QWidget* parent, const QString& title, const QString& filter) override;
  void Inform(QWidget* parent, const QString& text) override;
  bool Ask(QWidget* parent, const QString& text) override;
  Answer AskYesNoCancel(QWidget* parent, const QString& text) override;
  void ReportError(QWidget* parent, const QString& text) override;
  bool OpenDocument(const QString& path) override;
  double Now() override;
};

// "All (*.jpg;*.bmp)|*.jpg;*.bmp|..." as Qt's "All (*.jpg *.bmp);;...": each
// description keeps its text, with the patterns it really selects in the
// last parentheses.
QString QtNameFilters(const QString& filter);

}  // namespace vistarium::desktop
