// TJourneyView: the workbench's "Journey" tab. The table of messages (TJourneyModel) beside the
// chosen message's detail, a tree of its parts with their connection, sequence, submit, response
// and message id and each receipt with its delay from the submit; in a tab beside the detail the
// receipts that match no message, apart; a Clear button that forgets them all.
//
// Cheap under a burst: the records drained are fed in one call per drain, the table learns of
// them in a handful of signals, and the detail tree is rebuilt only when the chosen message moved
// on. A part, its response or a receipt double-clicked asks the window to show that PDU in the
// traffic table (ShowInTraffic).
//
// GUI thread only.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "app/workbench/JourneyModel.h"

class QLabel;
class QPushButton;
class QSplitter;
class QTabWidget;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;

// A PDU of the journey as the traffic table knows it: where it went, its sequence number and when
// it was traced.
struct TJourneyPdu {
  TPduConnection Connection = TPduConnection::pcTcx;
  TPduDirection Direction = TPduDirection::pdOut;
  uint32_t Sequence = 0;
  int64_t MonotonicNs = 0;
};

class TJourneyView : public QWidget {
 public:
  explicit TJourneyView(QWidget* Parent = nullptr);
  ~TJourneyView() override;

  // Feeds the records drained, in order, and shows what they changed.
  void Follow(const std::vector<TPduTraceRecord>& Records);
  // Forgets every message and orphan receipt (the Clear button).
  void Clear();
  // Chooses the message the traced PDU belongs to (RowOfPdu). Returns false, choosing nothing new,
  // when it belongs to none.
  bool SelectPdu(TPduConnection Connection, TPduDirection Direction, const uint8_t* Bytes,
                 size_t Length);
  // The chosen message, or null.
  const TJourneyMessage* Chosen() const;

  TJourneyModel& Model() { return *FModel; }
  const TMessageJourney& Journey() const { return FModel->Journey(); }

  // Called with the PDU of a part, a response or a receipt double-clicked in the detail or the
  // orphans.
  std::function<void(const TJourneyPdu&)> ShowInTraffic;

  QLabel* Counts;
  QPushButton* ClearButton;
  QTableView* Table;
  // The chosen message's detail, and the orphan receipts with their count (in the tab's text
  // too).
  QTabWidget* DetailTabs;
  QTreeWidget* Detail;
  QLabel* OrphansLabel;
  QTreeWidget* Orphans;
  static constexpr int kOrphansTab = 1;

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  void ChooseRow(int Row);
  void ShowDetail();
  void ShowOrphans();
  void ShowCounts();
  void ItemActivated(QTreeWidgetItem* Item);

  TJourneyModel* FModel;
  QSplitter* FSplit;
  // Narrower than this, the detail goes under the table.
  int FSideBySideWidth = 0;
  // The message the detail shows, by serial.
  std::optional<uint64_t> FChosen;
  // The orphans the list shows: how many, and the evicted count when it was filled.
  size_t FOrphansShown = 0;
  uint64_t FOrphansEvictedShown = 0;
};
