// TLoadCharts: the live charts of a load run. Per second: submits, answers and receipts; the
// latency p50 and p99 of that second's answers and receipts; the answers throttled, queue full or
// of another error status. Beside them the run's totals by command_status and receipt state. A
// second is added once it has ended, so each chart moves once a second whatever the rate.
//
// Threads: the GUI thread only.
#pragma once

#include <QWidget>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "load/Summary.h"

class QBarCategoryAxis;
class QBarSet;
class QChart;
class QChartView;
class QHorizontalBarSeries;
class QLineSeries;
class QValueAxis;

class TLoadCharts : public QWidget {
 public:
  // Seconds shown at most; older ones scroll out of the charts (the summary keeps them all).
  static constexpr int kShownSeconds = 600;

  explicit TLoadCharts(QWidget* Parent = nullptr);

  // Empties every chart for a new run.
  void Clear();
  // Adds the seconds that ended, in order.
  void AddSeconds(const std::vector<load::TSecond>& Seconds);
  // The totals so far, by command_status and by receipt state.
  void SetTotals(const std::map<uint32_t, long>& Statuses,
                 const std::map<std::string, long>& ReceiptStates);
  // Seconds added since Clear.
  int SecondsShown() const { return FSeconds; }

  QChartView* Rates;
  QChartView* Latency;
  QChartView* Statuses;
  QChartView* Totals;

 private:
  struct TAxes {
    QValueAxis* X;
    QValueAxis* Y;
  };
  QChartView* MakeChart(const QString& Title, const std::vector<QLineSeries*>& Series, TAxes& Axes);
  // Appends Y at the second's place and widens the axes to hold it.
  void Append(QLineSeries* Series, TAxes& Axes, double Y);

  QLineSeries *FSubmits, *FAnswers, *FReceipts;
  QLineSeries *FAnswerP50, *FAnswerP99, *FReceiptP50, *FReceiptP99;
  QLineSeries *FThrottled, *FQueueFull, *FOther;
  TAxes FRateAxes, FLatencyAxes, FStatusAxes;
  QHorizontalBarSeries* FBars;
  QBarSet* FBarSet;
  QBarCategoryAxis* FCategories;
  QValueAxis* FTotalAxis;
  QStringList FCategoryNames;
  int FSeconds = 0;
  int64_t FFirstSecond = 0;
};
