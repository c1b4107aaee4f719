#pragma once
// Time estimate and progress of the two phases of joining: the shares of the
// finding work, the progress reports that move the bars and time labels, the
// one continue question of the finding phase, and the duration texts.
//
// Bars, labels, the clock and the question are reached through ProgressUi so
// that the application shows its controls while tests and the command-line
// tool supply their own.

#include <string>

#include "run/run_state.h"

namespace vistarium::matching {

enum class Phase { Finding, Construction };

class ProgressUi {
public:
  virtual ~ProgressUi() = default;
  // The clock: the current date-time in days (86400 seconds a day).
  virtual double Now() = 0;
  // Moves a phase's bar to a percentage 0..100 and repaints it.
  virtual void ShowBar(Phase phase, int percent) = 0;
  // Writes a phase's elapsed and estimated labels and repaints them.
  virtual void ShowTimes(Phase phase, const std::string& elapsed, const std::string& estimated) = 0;
  // Asks the continue question (Yes and No); true for Yes.
  virtual bool AskContinue(const std::string& question) = 0;
  // True once whoever shows the progress wants the finding phase to end
  // after the pair it is matching (a window that is being closed). Asked
  // from the thread that runs the phase.
  virtual bool StopRequested() { return false; }
};

// A ProgressUi that shows nothing, answers Yes and reads the system clock.
class SilentProgressUi : public ProgressUi {
public:
  double Now() override;
  void ShowBar(Phase, int) override {}
  void ShowTimes(Phase, const std::string&, const std::string&) override {}
  bool AskContinue(const std::string&) override { return true; }
};

// The system clock as days since the Unix epoch (only differences matter).
double SystemNowDays();

// PairCount and the shares of the two searches of one pair's matching.
void EstimateFindingWork(RunState& rs);

// Moves the finding bar to Round(g x 100) and its labels, where g is the
// place of the step's fraction f in the step's part of the bar
// (SetFindingStep); g = 0 restarts the clock and clears CancelRequested. The
// first report that moves the bar may ask the continue question; No sets
// CancelRequested.
void ReportFindingProgress(RunState& rs, ProgressUi& ui, double f);
// Gives the part of the finding bar from `from` to `to` (fractions of the
// whole bar) to the step that reports next; the whole bar is the default.
void SetFindingStep(RunState& rs, double from, double to);
// The same for the construction phase, which never asks.
void ReportConstructionProgress(RunState& rs, ProgressUi& ui, double f);

// Sets a bar directly (the Join command's 0 and 100).
void SetProgressBar(RunState& rs, ProgressUi& ui, Phase phase, int percent);

// Duration texts of the labels (" 1min  5sec") and of the question (" 6min").
std::string FormatDuration(double days);
std::string FormatEstimate(double days);
// The whole text of the continue question for an estimated total time.
std::string ContinueQuestionText(double estimatedDays);

}  // namespace vistarium::matching
