// The desktop program: the main window over the core. Pictures (or folders of
// pictures) named on the command line are loaded as if chosen with Load
// Pictures; "--options DIR" names the folder of the user's settings.

#include <QApplication>
#include <QTimer>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/worker_threads.h"
#include "desktop/icons.h"
#include "desktop/main_window.h"
#include "desktop/services.h"
#include "params/options_folder.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  vistarium::app::UsePassiveWorkerThreads(argv);
  QApplication application(argc, argv);
  QApplication::setApplicationName("Vistarium");
  QApplication::setOrganizationName("Vistarium");
  QApplication::setWindowIcon(vistarium::desktop::ProgramIcon());
  vistarium::desktop::QtDesktopServices services;

  std::vector<std::string> args;
  for (const QString& a : QApplication::arguments().mid(1)) args.push_back(a.toStdString());
  std::optional<fs::path> chosen;
  QString optionsProblem;
  try {
    chosen = vistarium::params::TakeOptionsArgument(args);
  } catch (const std::invalid_argument& e) {
    optionsProblem = QString::fromUtf8(e.what());
  }
  // The user's settings: seeded from the delivered Options on first use,
  // never overwritten by a build or an install.
  const fs::path programFolder = QCoreApplication::applicationDirPath().toStdString();
  std::string problem;
  vistarium::params::ChooseOptionsFolder(programFolder, chosen, problem);
  if (!problem.empty()) optionsProblem = QString::fromStdString(problem);

  vistarium::desktop::TfrmMain window(services, programFolder);
  window.show();
  if (!optionsProblem.isEmpty())
    QTimer::singleShot(0, &window, [&window, &services, optionsProblem] {
      services.Inform(&window, "The settings cannot be kept: " + optionsProblem);
    });

  QStringList files;
  for (const std::string& a : args)
    if (!a.starts_with('-')) files << QString::fromStdString(a);
  if (!files.isEmpty())
    QTimer::singleShot(0, &window, [&window, &services, files] {
      try {
        window.LoadPictureFiles(files);
      } catch (const std::exception& e) {
        services.ReportError(&window, QString::fromUtf8(e.what()));
      }
    });
  return application.exec();
}
