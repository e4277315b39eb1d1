// TWorkbench: the table exported as CSV or JSON lines and the reports as text, selected rows
// copied, and the inspector's line that links a request to its response, with the jump between
// them. The logic is inspect/TrafficExport's; here only the widgets and their wiring. GUI thread.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/workbench/TrafficModel.h"
#include "app/workbench/Workbench.h"

namespace {

std::string ToStd(const QString& S) {
  return S.toUtf8().toStdString();
}

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// A word-wrapped label as tall as its text needs at its width: the layout gives a label that
// wraps the height of one line unless told otherwise.
void FitHeight(QLabel* Label) {
  const int Height = Label->heightForWidth(Label->width());
  if (Height > 0 && Label->minimumHeight() != Height) Label->setMinimumHeight(Height);
}

class TFitHeightOnResize : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Resize) FitHeight(static_cast<QLabel*>(Watched));
    return false;
  }
};

}  // namespace

void TWorkbench::MakeExportActions() {
  ExportReportsAction = new QAction("Export &reports...", this);
  connect(ExportReportsAction, &QAction::triggered, this, &TWorkbench::ChooseReportsFile);
  // Copy acts on the table alone: a focused text field keeps Ctrl+C for its own text.
  CopyAction = new QAction("&Copy rows", this);
  CopyAction->setShortcut(QKeySequence::Copy);
  CopyAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  connect(CopyAction, &QAction::triggered, this, &TWorkbench::CopyRows);
  // The jump works from anywhere in the window; the event filter keeps it from line edits.
  JumpAction = new QAction("&Go to request / response", this);
  JumpAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_J));
  JumpAction->setShortcutContext(Qt::WindowShortcut);
  connect(JumpAction, &QAction::triggered, this, &TWorkbench::JumpToPartner);
  addAction(JumpAction);
  Table->addAction(CopyAction);
  Table->addAction(JumpAction);
  Table->setContextMenuPolicy(Qt::ActionsContextMenu);

  for (QMenu* M : menuBar()->findChildren<QMenu*>())
    if (M->title() == "&Traffic") M->addAction(ExportReportsAction);
  QMenu* Edit = menuBar()->addMenu("&Edit");
  Edit->addAction(CopyAction);
  Edit->addAction(JumpAction);
}

QWidget* TWorkbench::WithPartnerBar(QWidget* Inspector) {
  auto* Box = new QWidget;
  auto* Column = new QVBoxLayout(Box);
  Column->setContentsMargins(0, 0, 0, 0);
  auto* Bar = new QHBoxLayout;
  PartnerLabel = new QLabel;
  PartnerLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // Two lines rather than a cut one where the pane is narrow (a small screen, a large scale).
  PartnerLabel->setWordWrap(true);
  PartnerLabel->installEventFilter(new TFitHeightOnResize(PartnerLabel));
  PartnerButton = new QPushButton("Go to response");
  PartnerButton->setToolTip("Ctrl+J");
  // Always there, enabled when it can act: a button that came and went would move the panes.
  PartnerButton->setEnabled(false);
  connect(PartnerButton, &QPushButton::clicked, this, &TWorkbench::JumpToPartner);
  Bar->addWidget(PartnerLabel, 1);
  Bar->addWidget(PartnerButton);
  Column->addLayout(Bar);
  Column->addWidget(Inspector, 1);
  // A request shown before its response came: the line follows when the response arrives.
  connect(FTraffic, &QAbstractItemModel::rowsInserted, this, [this] {
    if (PartnerLabel->text().startsWith("No response")) ShowPartner();
  });
  connect(FTraffic, &QAbstractItemModel::modelReset, this, &TWorkbench::ShowPartner);
  return Box;
}

std::optional<size_t> TWorkbench::CurrentStoreRow() const {
  const QModelIndex Current = FFiltered->mapToSource(Table->currentIndex());
  if (!Current.isValid()) return std::nullopt;
  return static_cast<size_t>(Current.row());
}

void TWorkbench::ShowPartner() {
  const std::optional<size_t> Row = CurrentStoreRow();
  const TTrafficStore& Store = FTraffic->Store();
  const std::optional<size_t> Partner = Row ? PartnerRow(Store, *Row) : std::nullopt;
  PartnerLabel->setText(Row ? FromStd(PartnerLine(Store, *Row, Partner)) : QString());
  PartnerButton->setEnabled(Partner.has_value());
  FitHeight(PartnerLabel);
  if (Partner) PartnerButton->setText(*Partner > *Row ? "Go to response" : "Go to request");
}

void TWorkbench::JumpToPartner() {
  const std::optional<size_t> Row = CurrentStoreRow();
  const std::optional<size_t> Partner = Row ? PartnerRow(FTraffic->Store(), *Row) : std::nullopt;
  if (!Partner) {
    statusBar()->showMessage(Row ? "Its partner is not in the table" : "No row selected", 5000);
    return;
  }
  const char* What = *Partner > *Row ? "response" : "request";
  const QModelIndex Target = FFiltered->mapFromSource(
      FTraffic->index(static_cast<int>(*Partner), Table->currentIndex().column()));
  if (!Target.isValid()) {
    // The filter stays as the tester set it; the status bar says why nothing moved.
    statusBar()->showMessage(QString("The %1 is hidden by the filter").arg(What), 5000);
    return;
  }
  Table->selectionModel()->setCurrentIndex(
      Target, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  Table->scrollTo(Target);
}

std::vector<size_t> TWorkbench::ShownRows() const {
  std::vector<size_t> Rows;
  Rows.reserve(static_cast<size_t>(FFiltered->rowCount()));
  for (int R = 0; R < FFiltered->rowCount(); ++R)
    Rows.push_back(static_cast<size_t>(FFiltered->mapToSource(FFiltered->index(R, 0)).row()));
  return Rows;
}

void TWorkbench::CopyRows() {
  std::vector<size_t> Rows;
  const QModelIndexList Selected = Table->selectionModel()->selectedRows();
  std::vector<int> ViewRows;
  for (const QModelIndex& I : Selected) ViewRows.push_back(I.row());
  std::sort(ViewRows.begin(), ViewRows.end());
  for (int R : ViewRows)
    Rows.push_back(static_cast<size_t>(FFiltered->mapToSource(FFiltered->index(R, 0)).row()));
  if (Rows.empty()) return;
  QApplication::clipboard()->setText(FromStd(TableTsv(FTraffic->Store(), Rows)));
  statusBar()->showMessage(QString("Copied %1 rows").arg(Rows.size()), 3000);
}

std::string TWorkbench::ExportTable(const std::string& Path, TTrafficFormat Format) {
  if (Format == TTrafficFormat::tfPcapng) return ExportPcapng(Path);
  // The rows the filter shows once it has checked them all.
  FFiltered->Finish();
  return WriteTable(Path, FTraffic->Store(), ShownRows(), Format);
}

std::string TWorkbench::ExportReports(const std::string& Path) {
  ReportFeed().FlushAll();
  std::string Text = ToStd(Reports->toPlainText());
  if (!Text.empty()) Text += '\n';
  return WriteTextFile(Path, Text);
}

void TWorkbench::ChooseReportsFile() {
  const QString Path =
      QFileDialog::getSaveFileName(this, "Export the report lines", "reports.txt", "Text (*.txt)",
                                   nullptr, QFileDialog::DontUseNativeDialog);
  if (Path.isEmpty()) return;
  const std::string Error = ExportReports(ToStd(Path));
  statusBar()->showMessage(Error.empty() ? "Saved " + Path : "Not saved: " + FromStd(Error), 8000);
}
