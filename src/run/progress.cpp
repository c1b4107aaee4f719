#include "run/progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>

#include "geom/numbers.h"

namespace vistarium::matching {

namespace {

constexpr double kSecondsPerDay = 86400.0;
// An estimated finding phase of this many seconds or more asks whether to go on.
constexpr double kQuestionThresholdSeconds = 300.0;

// The length of a search range; a range that comes out negative holds no
// candidates (possible only with parameters the dialogs do not accept, such as
// a lines angle above 90 degrees).
std::int32_t RangeLength(std::int32_t n) { return std::max<std::int32_t>(n, 0); }

// n right-aligned in two characters (wider numbers keep all their digits).
std::string Width2(std::int32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%2d", static_cast<int>(n));
  return buf;
}

// Whole seconds of a span of days. A span below zero (the clock was set back
// while a phase ran) counts as no time at all.
std::int32_t WholeSeconds(double days) { return std::max<std::int32_t>(Round(days * kSecondsPerDay), 0); }

// The bar position for a fraction of a phase; the bars run from 0 to 100.
std::int32_t BarPercent(double f) { return std::clamp<std::int32_t>(Round(f * 100.0), 0, 100); }

}  // namespace

double SystemNowDays() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count() / kSecondsPerDay;
}

double SilentProgressUi::Now() { return SystemNowDays(); }

void EstimateFindingWork(RunState& rs) {
  ProgressState& pg = rs.Progress;
  pg.PairCount = rs.PictureSet.Is360 ? rs.PictureSet.Count : CheckedSub(rs.PictureSet.Count, 1);

  const std::int32_t halfW = rs.Projection.WorkingHalfSize.X;
  const std::int32_t halfH = rs.Projection.WorkingHalfSize.Y;
  const std::int32_t w = CheckedAdd(CheckedMul(2, halfW), 1);
  const std::int32_t h = CheckedAdd(CheckedMul(2, halfH), 1);
  const double s = rs.Parameters.Method.PreliminarySmoothing;
  const auto& tp = rs.Parameters.TwoPic;
  const double cw = tp.OverlapWidthPercent;
  const double vs = tp.VerticalShiftPercent;
  const double av = tp.VerticalLinesAngle;
  const double lv = tp.VerticalLengthDifferencePercent;
  const double lh = tp.HorizontalLengthDifferencePercent;

  // First search: the left line's start column and row against the two
  // tolerances of its end point.
  const std::int32_t top = Round(vs * h / 100.0 + 3.0 * s);
  const std::int32_t dy = CheckedSub(h, CheckedMul(2, top));
  const double absDy = std::fabs(static_cast<double>(dy));
  const std::int32_t rows = RangeLength(CheckedAdd(Round(vs * h / 100.0 + s + 1.0), top));
  const std::int32_t columns = RangeLength(CheckedSub(w - 1, Round((1.0 - cw / 100.0) * w - s - 1.0)));
  const std::int32_t tA = Round(std::tan(av * std::numbers::pi / 180.0) * absDy + s + 1.0);
  const std::int32_t tL = Round(lv * absDy / 100.0 + s + 1.0);
  const std::int32_t first = CheckedMul(CheckedMul(CheckedMul(columns, rows), RangeLength(CheckedMul(2, tA))),
                                        RangeLength(CheckedMul(2, tL)));

  // Second search: the window around the anchor's expected partner.
  const double partnerX = cw * w / 100.0;
  const std::int32_t columns2 = RangeLength(
      CheckedSub(Round((1.0 + lh / 100.0) * partnerX + 3.0 + 3.0 * s), Round((1.0 - lh / 100.0) * partnerX - 3.0 - 3.0 * s)));
  const std::int32_t rows2 = RangeLength(
      CheckedSub(Round((1.0 + lv / 100.0) * halfH + 3.0 + 3.0 * s), Round((1.0 - lv / 100.0) * halfH - 3.0 - 3.0 * s)));
  const std::int32_t second = CheckedMul(columns2, rows2);

  // The sum is taken as a real: both counts fit, their sum need not.
  const double total = static_cast<double>(first) + static_cast<double>(second);
  if (total == 0.0) {
    pg.FirstSearchShare = 0.5;
    pg.SecondSearchShare = 0.5;
  } else {
    pg.FirstSearchShare = first / total;
    pg.SecondSearchShare = second / total;
  }
}

void SetFindingStep(RunState& rs, double from, double to) {
  rs.Progress.FindingFrom = std::clamp(from, 0.0, 1.0);
  rs.Progress.FindingTo = std::clamp(to, rs.Progress.FindingFrom, 1.0);
}

void ReportFindingProgress(RunState& rs, ProgressUi& ui, double stepFraction) {
  ProgressState& pg = rs.Progress;
  const double f = pg.FindingFrom + stepFraction * (pg.FindingTo - pg.FindingFrom);
  if (f == 0.0) {
    rs.CancelRequested = false;
    pg.StartTime = ui.Now();
    pg.ContinueConfirmed = false;
  }
  if (StopSignalled(rs)) {
    rs.CancelRequested = true;
    return;
  }
  const std::int32_t p = BarPercent(f);
  if (pg.FindingBar == p) return;

  if (f > 0.0) {
    const double elapsed = ui.Now() - pg.StartTime;
    const double estimated = elapsed / f;
    if (!pg.ContinueConfirmed) {
      if (estimated * kSecondsPerDay >= kQuestionThresholdSeconds) {
        const double opened = ui.Now();
        const bool goOn = ui.AskContinue(ContinueQuestionText(estimated));
        const double closed = ui.Now();
        if (!goOn) {
          rs.CancelRequested = true;
          return;
        }
        // The time spent reading the question is not matching time.
        pg.ContinueConfirmed = true;
        pg.StartTime += closed - opened;
      } else {
        pg.ContinueConfirmed = true;
      }
    }
    pg.Elapsed = elapsed;
    pg.Estimated = estimated;
    ui.ShowTimes(Phase::Finding, FormatDuration(elapsed), FormatDuration(estimated));
  }

  pg.FindingBar = p;
  ui.ShowBar(Phase::Finding, p);
}

void ReportConstructionProgress(RunState& rs, ProgressUi& ui, double f) {
  ProgressState& pg = rs.Progress;
  if (f == 0.0) pg.StartTime = ui.Now();
  const std::int32_t p = BarPercent(f);
  if (pg.ConstructionBar == p) return;

  if (f > 0.0) {
    const double elapsed = ui.Now() - pg.StartTime;
    const double estimated = elapsed / f;
    pg.Elapsed = elapsed;
    pg.Estimated = estimated;
    ui.ShowTimes(Phase::Construction, FormatDuration(elapsed), FormatDuration(estimated));
  }

  pg.ConstructionBar = p;
  ui.ShowBar(Phase::Construction, p);
}

void SetProgressBar(RunState& rs, ProgressUi& ui, Phase phase, int percent) {
  const std::int32_t p = std::clamp(percent, 0, 100);
  if (phase == Phase::Finding)
    rs.Progress.FindingBar = p;
  else
    rs.Progress.ConstructionBar = p;
  ui.ShowBar(phase, p);
}

std::string FormatDuration(double days) {
  const std::int32_t t = WholeSeconds(days);
  std::int32_t m = t / 60;
  const std::int32_t sec = t % 60;
  std::string hours;
  std::string minutes;
  if (m > 0) {
    std::int32_t h = 0;
    if (m >= 60) {
      h = m / 60;
      m = m % 60;
    }
    minutes = Width2(m) + "min ";
    if (h > 0) hours = Width2(h) + "h ";
  }
  return hours + minutes + Width2(sec) + "sec";
}

std::string FormatEstimate(double days) {
  const std::int32_t t = WholeSeconds(days);
  std::int32_t m = t / 60;
  std::int32_t h = 0;
  std::string hours;
  std::string minutes;
  if (m > 0) {
    m = m + 1;  // rather promise a minute too many than too few
    if (m >= 60) {
      h = m / 60;
      m = m % 60;
    }
    minutes = Width2(m) + "min";
    if (h > 0) hours = Width2(h) + "h ";
  }
  return hours + minutes;
}

std::string ContinueQuestionText(double estimatedDays) {
  const char lf = '\n';
  std::string text;
  text += "According to current data and parameters of stitching method, finding";
  text += lf;
  text += "matching parts of adjacent pictures requires approximately ";
  text += FormatEstimate(estimatedDays);
  text += ".";
  text += lf;
  text += "If you like, you can now  cancel this process and change parameters in";
  text += lf;
  text += "order to decrease time required. Please see help for expalanation, how";
  text += lf;
  text += "parameters affects on time requirements.";
  text += lf;
  text += lf;
  text += "        CONTINUE FINDING MATCHING PARTS OF ADJACENT PICTURS?        ";
  return text;
}

}  // namespace vistarium::matching
