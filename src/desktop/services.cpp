#include "desktop/services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QUrl>

#include "run/progress.h"

namespace vistarium::desktop {

QString QtNameFilters(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    if (patterns == "*.*") patterns = "*";
    QString description = parts[i];
    const QString own = "(" + patterns + ")";
    if (!description.endsWith(own)) description += " " + own;
    out << description;
  }
  return out.join(";;");
}

namespace {

// A picture dialog with a preview of the picture under the cursor.
class PictureDialog : public QFileDialog {
public:
  PictureDialog(QWidget* parent, const QString& title, const QString& filter) : QFileDialog(parent, title) {
    setOption(QFileDialog::DontUseNativeDialog, true);
    setNameFilter(QtNameFilters(filter));
    preview_ = new QLabel(this);
    preview_->setObjectName("dlgOpenPicturePreview");
    preview_->setFixedSize(200, 160);
    preview_->setAlignment(Qt::AlignCenter);
    preview_->setFrameShape(QFrame::StyledPanel);
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) grid->addWidget(preview_, 1, grid->columnCount(), 1, 1);
    connect(this, &QFileDialog::currentChanged, this, [this](const QString& path) { ShowPreview(path); });
  }

private:
  void ShowPreview(const QString& path) {
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!QFileInfo(path).isFile() || !size.isValid()) {
      preview_->clear();
      return;
    }
    reader.setScaledSize(size.scaled(preview_->size(), Qt::KeepAspectRatio));
    preview_->setPixmap(QPixmap::fromImage(reader.read()));
  }
  QLabel* preview_ = nullptr;
};

}  // namespace

QStringList QtDesktopServices::ChooseFilesToOpen(QWidget* parent, const QString& title, const QString& filter,
                                                 bool several) {
  PictureDialog dialog(parent, title, filter);
  dialog.setFileMode(several ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

QString QtDesktopServices::ChooseFileToSave(QWidget* parent, const QString& title, const QString& filter) {
  // The window asks about an existing file itself, under the final name.
  return QFileDialog::getSaveFileName(parent, title, QString(), QtNameFilters(filter), nullptr,
                                      QFileDialog::DontConfirmOverwrite);
}

void QtDesktopServices::Inform(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, "Vistarium", text);
}

bool QtDesktopServices::Ask(QWidget* parent, const QString& text) {
  return QMessageBox::question(parent, "Confirm", text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
         QMessageBox::Yes;
}

DesktopServices::Answer QtDesktopServices::AskYesNoCancel(QWidget* parent, const QString& text) {
  const auto button = QMessageBox::question(parent, "Confirm", text,
                                            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                            QMessageBox::Yes);
  return button == QMessageBox::Yes ? Answer::Yes : button == QMessageBox::No ? Answer::No : Answer::Cancel;
}

void QtDesktopServices::ReportError(QWidget* parent, const QString& text) {
  QMessageBox::critical(parent, "Vistarium", text);
}

bool QtDesktopServices::OpenDocument(const QString& path) {
  if (!QFileInfo(path).isFile()) return false;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

double QtDesktopServices::Now() { return matching::SystemNowDays(); }

}  // namespace vistarium::desktop
