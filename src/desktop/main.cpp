// The desktop program: the main window over the core. Pictures named on the
// command line are loaded as if chosen with Load Pictures.

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>
#include <filesystem>
#include <system_error>

#include "desktop/icons.h"
#include "desktop/main_window.h"
#include "desktop/services.h"

namespace fs = std::filesystem;

namespace {

// The folder whose Options the program uses: beside the program when it is
// there (a build or an unpacked copy), else the user's own copy of the
// installed options, made on first start so that edits need no privileges.
fs::path OptionsHome() {
  const fs::path programFolder = QCoreApplication::applicationDirPath().toStdString();
  std::error_code ec;
  if (fs::is_directory(programFolder / "Options", ec)) return programFolder;
  const fs::path installed = programFolder / ".." / "share" / "vistarium" / "Options";
  const fs::path user = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toStdString();
  if (!user.empty() && fs::is_directory(installed, ec)) {
    if (!fs::is_directory(user / "Options", ec)) {
      fs::create_directories(user, ec);
      fs::copy(installed, user / "Options", fs::copy_options::recursive, ec);
    }
    if (fs::is_directory(user / "Options", ec)) return user;
  }
  return programFolder;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Vistarium");
  QApplication::setOrganizationName("Vistarium");
  QApplication::setWindowIcon(vistarium::desktop::ProgramIcon());

  vistarium::desktop::QtDesktopServices services;
  vistarium::desktop::TfrmMain window(services, OptionsHome());
  window.show();

  QStringList files = QApplication::arguments().mid(1);
  files.removeIf([](const QString& a) { return a.startsWith('-'); });
  if (!files.isEmpty())
    QTimer::singleShot(0, &window, [&window, files] {
      try {
        window.LoadPictureFiles(files);
      } catch (const std::exception& e) {
        vistarium::desktop::QtDesktopServices().ReportError(&window, QString::fromUtf8(e.what()));
      }
    });
  return application.exec();
}
