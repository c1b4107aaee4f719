#pragma once
// The desktop's dialogs, message boxes and clock replaced for the window
// tests: every question and message is recorded, file dialogs return what a
// test set beforehand, and the clock can be made to run slow.

#include <QString>
#include <QStringList>
#include <atomic>

#include "desktop/services.h"
#include "run/progress.h"

namespace vistarium::test_support {

class FakeServices : public desktop::DesktopServices {
public:
  QStringList ChooseFilesToOpen(QWidget*, const QString& title, const QString& filter, bool) override {
    titles << title << filter;
    return nextOpen;
  }
  QString ChooseFileToSave(QWidget*, const QString& title, const QString& filter) override {
    titles << title << filter;
    return nextSave;
  }
  void Inform(QWidget*, const QString& text) override { informed << text; }
  bool Ask(QWidget*, const QString& text) override {
    asked << text;
    return answer;
  }
  Answer AskYesNoCancel(QWidget*, const QString& text) override {
    asked << text;
    return threeWayAnswer;
  }
  void ReportError(QWidget*, const QString& text) override { errors << text; }
  bool OpenDocument(const QString& path) override {
    opened << path;
    return documentOpens;
  }
  // Each reading of a slow clock moves it on by `slowClockStepSeconds`, so
  // that the finding phase looks long enough for the continue question.
  double Now() override {
    if (slowClockStepSeconds == 0) return matching::SystemNowDays();
    return static_cast<double>(ticks.fetch_add(1)) * slowClockStepSeconds / 86400.0;
  }

  QStringList nextOpen;
  QString nextSave;
  QStringList titles, informed, asked, errors, opened;
  bool answer = true;
  Answer threeWayAnswer = Answer::No;
  bool documentOpens = true;
  std::atomic<long> ticks{0};
  std::atomic<int> slowClockStepSeconds{0};
};

}  // namespace vistarium::test_support
