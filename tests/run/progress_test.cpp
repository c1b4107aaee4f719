#include "run/progress.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "geom/numbers.h"

namespace vistarium::matching {
namespace {

constexpr double kDay = 86400.0;
double Seconds(double s) { return s / kDay; }

// A progress display with a hand-set clock that records everything shown and
// answers the continue question from a script. A question may stay open for a
// while: the clock moves on by that much before the answer comes back.
class FakeUi : public ProgressUi {
public:
  struct Times {
    Phase phase;
    std::string elapsed;
    std::string estimated;
  };
  struct Bar {
    Phase phase;
    int percent;
  };

  double clock = 45123.375;  // an ordinary date-time, not zero
  double questionOpenSeconds = 0.0;
  std::deque<bool> answers;
  std::vector<std::string> questions;
  std::vector<Times> times;
  std::vector<Bar> bars;

  void Advance(double seconds) { clock += Seconds(seconds); }

  double Now() override { return clock; }
  void ShowBar(Phase phase, int percent) override { bars.push_back({phase, percent}); }
  void ShowTimes(Phase phase, const std::string& elapsed, const std::string& estimated) override {
    times.push_back({phase, elapsed, estimated});
  }
  bool AskContinue(const std::string& question) override {
    questions.push_back(question);
    Advance(questionOpenSeconds);
    if (answers.empty()) {
      ADD_FAILURE() << "continue question asked without a scripted answer";
      return true;
    }
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

// --- Duration texts -----------------------------------------------------------

TEST(FormatDuration, ShowsSecondsMinutesAndHoursInFixedWidths) {
  EXPECT_EQ(FormatDuration(0.0), " 0sec");
  EXPECT_EQ(FormatDuration(Seconds(5)), " 5sec");
  EXPECT_EQ(FormatDuration(Seconds(59)), "59sec");
  EXPECT_EQ(FormatDuration(Seconds(60)), " 1min  0sec");
  EXPECT_EQ(FormatDuration(Seconds(65)), " 1min  5sec");
  EXPECT_EQ(FormatDuration(Seconds(754)), "12min 34sec");
  EXPECT_EQ(FormatDuration(Seconds(3599)), "59min 59sec");
  EXPECT_EQ(FormatDuration(Seconds(3600)), " 1h  0min  0sec");
  EXPECT_EQ(FormatDuration(Seconds(3725)), " 1h  2min  5sec");
}

TEST(FormatDuration, RoundsToTheNearestSecondAndKeepsWideHours) {
  EXPECT_EQ(FormatDuration(Seconds(4.6)), " 5sec");
  EXPECT_EQ(FormatDuration(Seconds(4.4)), " 4sec");
  EXPECT_EQ(FormatDuration(Seconds(100 * 3600 + 61)), "100h  1min  1sec");
}

TEST(FormatDuration, ABackwardClockShowsNoTime) {
  EXPECT_EQ(FormatDuration(Seconds(-5)), " 0sec");
  EXPECT_EQ(FormatDuration(Seconds(-3725)), " 0sec");
}

TEST(FormatEstimate, AddsOneMinuteAndDropsSeconds) {
  EXPECT_EQ(FormatEstimate(Seconds(300)), " 6min");
  EXPECT_EQ(FormatEstimate(Seconds(60)), " 2min");
  EXPECT_EQ(FormatEstimate(Seconds(400)), " 7min");
  EXPECT_EQ(FormatEstimate(Seconds(3540)), " 1h  0min");  // 59 + 1 minutes
  EXPECT_EQ(FormatEstimate(Seconds(3599)), " 1h  0min");
  EXPECT_EQ(FormatEstimate(Seconds(7200)), " 2h  1min");
}

TEST(FormatEstimate, IsEmptyBelowOneMinuteAndForABackwardClock) {
  EXPECT_EQ(FormatEstimate(0.0), "");
  EXPECT_EQ(FormatEstimate(Seconds(59)), "");
  EXPECT_EQ(FormatEstimate(Seconds(-600)), "");
}

TEST(ContinueQuestion, HasTheExactTextWithTheEstimate) {
  const std::string expected =
      "According to current data and parameters of stitching method, finding\n"
      "matching parts of adjacent pictures requires approximately  6min.\n"
      "If you like, you can now  cancel this process and change parameters in\n"
      "order to decrease time required. Please see help for expalanation, how\n"
      "parameters affects on time requirements.\n"
      "\n"
      "        CONTINUE FINDING MATCHING PARTS OF ADJACENT PICTURS?        ";
  EXPECT_EQ(ContinueQuestionText(Seconds(300)), expected);
  EXPECT_NE(ContinueQuestionText(Seconds(3725)).find("approximately  1h  3min.\n"), std::string::npos);
}

// --- Finding progress ---------------------------------------------------------

TEST(FindingProgress, FractionsBelowHalfAPercentMoveNothingAndAskNothing) {
  RunState rs;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(3000);  // any report that moved the bar now would ask
  ReportFindingProgress(rs, ui, 0.001);
  ReportFindingProgress(rs, ui, 0.004);
  ReportFindingProgress(rs, ui, 0.00499);
  EXPECT_EQ(rs.Progress.FindingBar, 0);
  EXPECT_TRUE(ui.bars.empty());
  EXPECT_TRUE(ui.times.empty());
  EXPECT_TRUE(ui.questions.empty());
  EXPECT_FALSE(rs.Progress.ContinueConfirmed);
  EXPECT_FALSE(rs.CancelRequested);
}

TEST(FindingProgress, ReportOfZeroRestartsClockAndClearsCancelAndConfirmation) {
  RunState rs;
  rs.CancelRequested = true;
  rs.Progress.ContinueConfirmed = true;
  rs.Progress.FindingBar = 100;  // left over from an earlier join
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  EXPECT_FALSE(rs.CancelRequested);
  EXPECT_FALSE(rs.Progress.ContinueConfirmed);
  EXPECT_DOUBLE_EQ(rs.Progress.StartTime, ui.clock);
  ASSERT_EQ(ui.bars.size(), 1u);
  EXPECT_EQ(ui.bars[0].phase, Phase::Finding);
  EXPECT_EQ(ui.bars[0].percent, 0);
  EXPECT_EQ(rs.Progress.FindingBar, 0);
  EXPECT_TRUE(ui.times.empty());  // no labels at fraction 0
}

TEST(FindingProgress, ReportOfZeroOnABarAtZeroStillRestarts) {
  RunState rs;
  rs.CancelRequested = true;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(100);
  rs.CancelRequested = true;
  ReportFindingProgress(rs, ui, 0.0);
  EXPECT_DOUBLE_EQ(rs.Progress.StartTime, ui.clock);
  EXPECT_FALSE(rs.CancelRequested);
  EXPECT_TRUE(ui.bars.empty());
}

TEST(FindingProgress, ShortEstimateSettlesWithoutAsking) {
  RunState rs;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(2);
  ReportFindingProgress(rs, ui, 0.01);  // estimate 200 s
  EXPECT_TRUE(rs.Progress.ContinueConfirmed);
  ui.Advance(6);
  ReportFindingProgress(rs, ui, 0.02);  // estimate 400 s: too late to ask
  EXPECT_TRUE(ui.questions.empty());
  ASSERT_EQ(ui.times.size(), 2u);
  EXPECT_EQ(ui.times[0].phase, Phase::Finding);
  EXPECT_EQ(ui.times[0].elapsed, " 2sec");
  EXPECT_EQ(ui.times[0].estimated, " 3min 20sec");
  EXPECT_EQ(ui.times[1].elapsed, " 8sec");
  EXPECT_EQ(ui.times[1].estimated, " 6min 40sec");
  ASSERT_EQ(ui.bars.size(), 2u);
  EXPECT_EQ(ui.bars[0].percent, 1);
  EXPECT_EQ(ui.bars[1].percent, 2);
  EXPECT_EQ(rs.Progress.FindingBar, 2);
}

TEST(FindingProgress, EstimateJustUnderFiveMinutesDoesNotAsk) {
  RunState rs;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(2.99);
  ReportFindingProgress(rs, ui, 0.01);  // 299 s
  EXPECT_TRUE(ui.questions.empty());
  EXPECT_TRUE(rs.Progress.ContinueConfirmed);
}

TEST(FindingProgress, LongEstimateAsksOnceAndYesDiscountsTheQuestionTime) {
  RunState rs;
  FakeUi ui;
  ui.answers = {true};
  ui.questionOpenSeconds = 30;
  ReportFindingProgress(rs, ui, 0.0);
  const double start = rs.Progress.StartTime;
  ui.Advance(4);
  ReportFindingProgress(rs, ui, 0.01);  // estimate 400 s

  ASSERT_EQ(ui.questions.size(), 1u);
  EXPECT_EQ(ui.questions[0], ContinueQuestionText(Seconds(400)));
  EXPECT_NE(ui.questions[0].find("approximately  7min."), std::string::npos);
  EXPECT_TRUE(rs.Progress.ContinueConfirmed);
  EXPECT_FALSE(rs.CancelRequested);
  EXPECT_NEAR((rs.Progress.StartTime - start) * kDay, 30.0, 1e-3);
  // The labels show what was known before the question.
  ASSERT_EQ(ui.times.size(), 1u);
  EXPECT_EQ(ui.times[0].elapsed, " 4sec");
  EXPECT_EQ(ui.times[0].estimated, " 6min 40sec");
  ASSERT_EQ(ui.bars.size(), 1u);
  EXPECT_EQ(ui.bars[0].percent, 1);

  // 38 s have passed on the clock, 30 of them in the question.
  ui.Advance(4);
  ReportFindingProgress(rs, ui, 0.02);
  EXPECT_EQ(ui.questions.size(), 1u);
  ASSERT_EQ(ui.times.size(), 2u);
  EXPECT_EQ(ui.times[1].elapsed, " 8sec");
  EXPECT_EQ(ui.times[1].estimated, " 6min 40sec");
  EXPECT_NEAR(rs.Progress.Elapsed * kDay, 8.0, 1e-3);
  EXPECT_NEAR(rs.Progress.Estimated * kDay, 400.0, 1e-2);
}

TEST(FindingProgress, NoRequestsCancelAndLeavesBarAndLabels) {
  RunState rs;
  FakeUi ui;
  ui.answers = {false};
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(4);
  ReportFindingProgress(rs, ui, 0.01);
  EXPECT_EQ(ui.questions.size(), 1u);
  EXPECT_TRUE(rs.CancelRequested);
  EXPECT_FALSE(rs.Progress.ContinueConfirmed);
  EXPECT_EQ(rs.Progress.FindingBar, 0);
  EXPECT_TRUE(ui.bars.empty());
  EXPECT_TRUE(ui.times.empty());
}

TEST(FindingProgress, NextPhaseAsksAgainAfterARestart) {
  RunState rs;
  FakeUi ui;
  ui.answers = {true, true};
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(10);
  ReportFindingProgress(rs, ui, 0.01);
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(10);
  ReportFindingProgress(rs, ui, 0.01);
  EXPECT_EQ(ui.questions.size(), 2u);
}

TEST(FindingProgress, PercentRoundsHalvesToEven) {
  RunState rs;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ReportFindingProgress(rs, ui, 0.125);
  EXPECT_EQ(rs.Progress.FindingBar, 12);
  ReportFindingProgress(rs, ui, 0.375);
  EXPECT_EQ(rs.Progress.FindingBar, 38);
  ASSERT_EQ(ui.bars.size(), 2u);
  EXPECT_EQ(ui.bars[0].percent, 12);
  EXPECT_EQ(ui.bars[1].percent, 38);
}

TEST(FindingProgress, SamePercentAgainShowsNothing) {
  RunState rs;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(1);
  ReportFindingProgress(rs, ui, 0.1);
  ui.Advance(1);
  ReportFindingProgress(rs, ui, 0.104);
  EXPECT_EQ(ui.bars.size(), 1u);
  EXPECT_EQ(ui.times.size(), 1u);
}

TEST(FindingProgress, ABackwardClockShowsZeroTimesAndDoesNotAsk) {
  RunState rs;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(-600);
  ReportFindingProgress(rs, ui, 0.5);
  EXPECT_TRUE(ui.questions.empty());
  ASSERT_EQ(ui.times.size(), 1u);
  EXPECT_EQ(ui.times[0].elapsed, " 0sec");
  EXPECT_EQ(ui.times[0].estimated, " 0sec");
  EXPECT_EQ(rs.Progress.FindingBar, 50);
}

TEST(FindingProgress, BarStaysWithinItsRange) {
  RunState rs;
  FakeUi ui;
  ReportFindingProgress(rs, ui, 0.0);
  ui.Advance(1);
  ReportFindingProgress(rs, ui, 1.2);
  EXPECT_EQ(rs.Progress.FindingBar, 100);
  ASSERT_EQ(ui.bars.size(), 1u);
  EXPECT_EQ(ui.bars[0].percent, 100);
}

// A step's fractions fill its part of the bar; its start within the bar
// neither restarts the clock nor clears a cancel, and the times estimate the
// whole phase.
TEST(FindingProgress, AStepFillsItsPartOfTheBarWithoutRestarting) {
  RunState rs;
  FakeUi ui;
  SetFindingStep(rs, 0.0, 0.4);
  ReportFindingProgress(rs, ui, 0.0);
  const double start = rs.Progress.StartTime;
  ui.Advance(4);
  ReportFindingProgress(rs, ui, 0.5);
  EXPECT_EQ(rs.Progress.FindingBar, 20);
  SetFindingStep(rs, 0.4, 0.8);
  rs.CancelRequested = true;
  ReportFindingProgress(rs, ui, 0.0);  // the bar stays at 40 %
  EXPECT_TRUE(rs.CancelRequested);
  EXPECT_DOUBLE_EQ(rs.Progress.StartTime, start);
  EXPECT_EQ(rs.Progress.FindingBar, 40);
  rs.CancelRequested = false;
  ui.Advance(4);
  ReportFindingProgress(rs, ui, 0.5);
  EXPECT_EQ(rs.Progress.FindingBar, 60);
  EXPECT_EQ(ui.times.back().elapsed, " 8sec");
  EXPECT_EQ(ui.times.back().estimated, "13sec");
  // A step's part never leaves the bar or runs backwards.
  SetFindingStep(rs, 0.9, 0.5);
  EXPECT_DOUBLE_EQ(rs.Progress.FindingFrom, 0.9);
  EXPECT_DOUBLE_EQ(rs.Progress.FindingTo, 0.9);
  SetFindingStep(rs, -1.0, 2.0);
  EXPECT_DOUBLE_EQ(rs.Progress.FindingFrom, 0.0);
  EXPECT_DOUBLE_EQ(rs.Progress.FindingTo, 1.0);
}

// --- Construction progress ----------------------------------------------------

TEST(ConstructionProgress, NeverAsksAndLeavesTheFindingState) {
  RunState rs;
  rs.CancelRequested = true;
  rs.Progress.ContinueConfirmed = false;
  rs.Progress.FindingBar = 100;
  FakeUi ui;
  ReportConstructionProgress(rs, ui, 0.0);
  EXPECT_DOUBLE_EQ(rs.Progress.StartTime, ui.clock);
  EXPECT_TRUE(rs.CancelRequested);
  ui.Advance(60);
  ReportConstructionProgress(rs, ui, 0.01);  // an hour and forty minutes to go
  EXPECT_TRUE(ui.questions.empty());
  EXPECT_FALSE(rs.Progress.ContinueConfirmed);
  EXPECT_EQ(rs.Progress.FindingBar, 100);
  EXPECT_EQ(rs.Progress.ConstructionBar, 1);
  ASSERT_EQ(ui.times.size(), 1u);
  EXPECT_EQ(ui.times[0].phase, Phase::Construction);
  EXPECT_EQ(ui.times[0].elapsed, " 1min  0sec");
  EXPECT_EQ(ui.times[0].estimated, " 1h 40min  0sec");
  ASSERT_EQ(ui.bars.size(), 1u);
  EXPECT_EQ(ui.bars[0].phase, Phase::Construction);
  EXPECT_EQ(ui.bars[0].percent, 1);
}

TEST(ConstructionProgress, LabelsFollowEveryMoveOfTheBarOnly) {
  RunState rs;
  FakeUi ui;
  ReportConstructionProgress(rs, ui, 0.0);
  for (int row = 1; row < 40; ++row) {
    ui.Advance(0.4);
    ReportConstructionProgress(rs, ui, row / 40.0);
  }
  // Percentages 2.5, 5, 7.5, ...: every one of the 40 rows moves the bar.
  EXPECT_EQ(ui.bars.size(), 39u);
  EXPECT_EQ(ui.times.size(), 39u);
  EXPECT_EQ(ui.bars.front().percent, 2);  // 2.5 halves to even
  EXPECT_EQ(ui.bars.back().percent, 98);  // 97.5 halves to even
  EXPECT_EQ(ui.times.back().elapsed, "16sec");    // 15.6 s
  EXPECT_EQ(ui.times.back().estimated, "16sec");  // 15.6 s / 0.975

  ui.times.clear();
  ui.bars.clear();
  ReportConstructionProgress(rs, ui, 0.0);  // restart: bar back to 0, no labels
  ReportConstructionProgress(rs, ui, 0.001);
  ASSERT_EQ(ui.bars.size(), 1u);
  EXPECT_EQ(ui.bars[0].percent, 0);
  EXPECT_TRUE(ui.times.empty());
}

TEST(SetProgressBar, StoresAndShowsTheBarOfItsPhase) {
  RunState rs;
  FakeUi ui;
  SetProgressBar(rs, ui, Phase::Finding, 100);
  SetProgressBar(rs, ui, Phase::Construction, 0);
  EXPECT_EQ(rs.Progress.FindingBar, 100);
  EXPECT_EQ(rs.Progress.ConstructionBar, 0);
  ASSERT_EQ(ui.bars.size(), 2u);
  EXPECT_EQ(ui.bars[0].phase, Phase::Finding);
  EXPECT_EQ(ui.bars[0].percent, 100);
  EXPECT_EQ(ui.bars[1].phase, Phase::Construction);

  // A finding phase after the bar was set to 100 starts from 0 again.
  ReportFindingProgress(rs, ui, 0.0);
  EXPECT_EQ(rs.Progress.FindingBar, 0);
  EXPECT_EQ(ui.bars.back().percent, 0);
}

// --- Shares of the finding work -----------------------------------------------

RunState RealisticRun() {
  RunState rs;
  rs.PictureSet.Count = 5;
  rs.PictureSet.Is360 = false;
  rs.Projection.WorkingHalfSize = {200, 148};  // w = 401, h = 297
  rs.Parameters.Method.PreliminarySmoothing = 1;
  rs.Parameters.TwoPic.OverlapWidthPercent = 45;
  rs.Parameters.TwoPic.VerticalShiftPercent = 15;
  rs.Parameters.TwoPic.VerticalLinesAngle = 3;
  rs.Parameters.TwoPic.VerticalLengthDifferencePercent = 5;
  rs.Parameters.TwoPic.HorizontalLengthDifferencePercent = 5;
  return rs;
}

TEST(EstimateFindingWork, SharesFollowTheCandidateCountsOfBothSearches) {
  RunState rs = RealisticRun();
  EstimateFindingWork(rs);
  // First search, s = 1:
  //   top = Round(15*297/100 + 3) = Round(47.55) = 48; dy = 297 - 96 = 201
  //   rows = Round(44.55 + 2) + 48 = 47 + 48 = 95
  //   columns = 400 - Round(0.55*401 - 2) = 400 - Round(218.55) = 181
  //   tA = Round(tan(3 deg)*201 + 2) = Round(12.53) = 13
  //   tL = Round(5*201/100 + 2) = Round(12.05) = 12
  //   First = 181 * 95 * 26 * 24 = 10729680
  // Second search, partner column 45*401/100 = 180.45:
  //   columns2 = Round(1.05*180.45 + 6) - Round(0.95*180.45 - 6) = 195 - 165 = 30
  //   rows2 = Round(1.05*148 + 6) - Round(0.95*148 - 6) = 161 - 135 = 26
  //   Second = 780
  const double first = 10729680.0;
  const double second = 780.0;
  EXPECT_DOUBLE_EQ(rs.Progress.FirstSearchShare, first / (first + second));
  EXPECT_DOUBLE_EQ(rs.Progress.SecondSearchShare, second / (first + second));
  EXPECT_DOUBLE_EQ(rs.Progress.FirstSearchShare + rs.Progress.SecondSearchShare, 1.0);
}

TEST(EstimateFindingWork, WithoutSmoothing) {
  RunState rs = RealisticRun();
  rs.Parameters.Method.PreliminarySmoothing = 0;
  EstimateFindingWork(rs);
  // top = Round(44.55) = 45; dy = 207; rows = Round(45.55) + 45 = 91
  // columns = 400 - Round(219.55) = 180; tA = Round(tan(3 deg)*207 + 1) = Round(11.85) = 12
  // tL = Round(10.35 + 1) = 11; First = 180 * 91 * 24 * 22 = 8648640
  // columns2 = Round(189.4725 + 3) - Round(171.4275 - 3) = 192 - 168 = 24
  // rows2 = Round(158.4) - Round(137.6) = 158 - 138 = 20; Second = 480
  const double first = 8648640.0;
  const double second = 480.0;
  EXPECT_DOUBLE_EQ(rs.Progress.FirstSearchShare, first / (first + second));
  EXPECT_DOUBLE_EQ(rs.Progress.SecondSearchShare, second / (first + second));
}

TEST(EstimateFindingWork, PairCountClosesTheCircleOnlyFor360Sets) {
  RunState rs = RealisticRun();
  EstimateFindingWork(rs);
  EXPECT_EQ(rs.Progress.PairCount, 4);
  rs.PictureSet.Is360 = true;
  EstimateFindingWork(rs);
  EXPECT_EQ(rs.Progress.PairCount, 5);
  rs.PictureSet.Count = 2;
  rs.PictureSet.Is360 = false;
  EstimateFindingWork(rs);
  EXPECT_EQ(rs.Progress.PairCount, 1);
}

TEST(EstimateFindingWork, EmptyRangesCountNothing) {
  // A lines angle beyond 90 degrees has a negative column tolerance: the first
  // search has no candidates and the whole pair is the second search.
  RunState rs = RealisticRun();
  rs.Parameters.TwoPic.VerticalLinesAngle = 95;
  EstimateFindingWork(rs);
  EXPECT_EQ(rs.Progress.FirstSearchShare, 0.0);
  EXPECT_EQ(rs.Progress.SecondSearchShare, 1.0);
}

TEST(EstimateFindingWork, BothCountsZeroSplitsThePairInHalves) {
  // A length difference of -100 % empties the row tolerance of the first
  // search and the row window of the second. Together with an angle beyond
  // 90 degrees two negative tolerances must still count as no work.
  RunState rs = RealisticRun();
  rs.Parameters.TwoPic.VerticalLengthDifferencePercent = -100;
  EstimateFindingWork(rs);
  EXPECT_EQ(rs.Progress.FirstSearchShare, 0.5);
  EXPECT_EQ(rs.Progress.SecondSearchShare, 0.5);

  rs.Parameters.TwoPic.VerticalLinesAngle = 95;
  EstimateFindingWork(rs);
  EXPECT_EQ(rs.Progress.FirstSearchShare, 0.5);
  EXPECT_EQ(rs.Progress.SecondSearchShare, 0.5);
}

TEST(EstimateFindingWork, CountsThatDoNotFitThrow) {
  RunState rs = RealisticRun();
  rs.Projection.WorkingHalfSize = {2000, 1500};
  rs.Parameters.TwoPic.VerticalLinesAngle = 89;  // tA about 57 times |dy|
  EXPECT_THROW(EstimateFindingWork(rs), NumericOverflow);
  rs.Parameters.TwoPic.VerticalLinesAngle = 90;  // tan is about 1.6e16
  EXPECT_THROW(EstimateFindingWork(rs), NumericOverflow);
}

// --- Clock --------------------------------------------------------------------

TEST(Clock, SystemClockGivesDaysSinceTheEpoch) {
  const double before = static_cast<double>(std::time(nullptr)) / kDay;
  const double now = SystemNowDays();
  SilentProgressUi silent;
  const double later = silent.Now();
  const double after = static_cast<double>(std::time(nullptr)) / kDay;
  EXPECT_GE(now, before - Seconds(1));
  EXPECT_LE(now, after + Seconds(1));
  EXPECT_GE(later, now);
  EXPECT_LE(later, after + Seconds(1));
}

}  // namespace
}  // namespace vistarium::matching
