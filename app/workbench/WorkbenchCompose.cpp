// TWorkbench: the composer's and the requests' tabs beside the connection panel, the composer's
// Send action (Ctrl+Return, from any of its fields), the requests linked to the message chosen in
// the journey, and their places in the tab order.
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <utility>

#include "app/workbench/ComposerPanel.h"
#include "app/workbench/JourneyView.h"
#include "app/workbench/RequestPanel.h"
#include "app/workbench/TrafficModel.h"
#include "app/workbench/Workbench.h"

namespace {

// W in a scroll area that scrolls it up and down when the window is lower than it.
QScrollArea* Scrolling(QWidget* W) {
  auto* Scroll = new QScrollArea;
  Scroll->setWidgetResizable(true);
  Scroll->setFrameShape(QFrame::NoFrame);
  Scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Scroll->setWidget(W);
  Scroll->setMinimumWidth(W->minimumSizeHint().width() +
                          Scroll->verticalScrollBar()->sizeHint().width());
  return Scroll;
}

}  // namespace

QWidget* TWorkbench::MakeLeftTabs(QWidget* ConnectionPanel) {
  LeftTabs = new QTabWidget;
  LeftTabs->setDocumentMode(true);
  // No mnemonics on the tabs: every letter of both names already takes the focus to a field of
  // the connection panel (Alt+C its CA file, Alt+O "Don't answer"). Ctrl+Tab switches them.
  LeftTabs->addTab(ConnectionPanel, "Connection");
  // Both panels post to the client's thread, send only while the submitting connection is bound,
  // and say what they did in the status bar.
  const auto Post = [this](TClientRunner::TTask T) {
    if (FRunner) FRunner->Post(std::move(T));
  };
  const auto CanSend = [this] { return CanSubmit(); };
  const auto Say = [this](const QString& Line) { statusBar()->showMessage(Line, 8000); };
  Composer = new TComposerPanel(Post, CanSend, Say);
  LeftTabs->addTab(Scrolling(Composer), "Compose");
  Requests = new TRequestPanel(Post, CanSend, Say);
  LeftTabs->addTab(Scrolling(Requests), "Requests");
  return LeftTabs;
}

void TWorkbench::LinkRequests() {
  // The message chosen in the journey (directly, or through a row of the traffic) is the one the
  // requests act on: its first part's message id, its source and its destinations.
  connect(Journey->Table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    const TJourneyMessage* M = Journey->Chosen();
    if (!M) return;
    QString Id;
    for (const TJourneyPart& P : M->Parts)
      if (!P.MessageId.empty()) {
        Id = QString::fromStdString(P.MessageId);
        break;
      }
    Requests->ChooseMessage(Id, QString::fromStdString(M->Source),
                            QString::fromStdString(M->Destination));
  });
  connect(Requests->TakeRowButton, &QPushButton::clicked, this, [this] {
    const std::optional<size_t> Row = CurrentStoreRow();
    const TTrafficRow* R = Row ? &FTraffic->Store().Row(*Row) : nullptr;
    if (!R || R->Kind != TPduTraceKind::tkPdu) {
      statusBar()->showMessage("Choose a PDU in the traffic table first", 5000);
      return;
    }
    Requests->SetRawBytes(R->Bytes.get(), R->Length);
  });
  // The requests' fields follow the composer's.
  QWidget* Previous = Composer->TabChain().back();
  for (QWidget* W : Requests->TabChain()) QWidget::setTabOrder(std::exchange(Previous, W), W);
}

void TWorkbench::MakeComposerActions(QWidget* Last) {
  SendAction = new QAction("&Send message", this);
  SendAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return));
  SendAction->setShortcutContext(Qt::WindowShortcut);
  connect(SendAction, &QAction::triggered, this, [this] {
    // From the connection tab the message goes as the composer holds it; the tab comes forward
    // when it is refused, so the reason can be seen where it lies.
    if (!Composer->Send() && !Composer->Refusal().isEmpty()) LeftTabs->setCurrentIndex(1);
  });
  addAction(SendAction);
  if (QMenu* Session = menuBar()->actions().value(0) ? menuBar()->actions()[0]->menu() : nullptr)
    Session->addAction(SendAction);
  // The text edit and the table's editors pass Ctrl+Return on to the window.
  Composer->InstallShortcutFilter(this);
  // The composer's fields follow the connection panel's (only the tab shown takes the focus).
  QWidget* Previous = Last;
  for (QWidget* W : Composer->TabChain()) QWidget::setTabOrder(std::exchange(Previous, W), W);
}

bool TWorkbench::CanSubmit() const {
  const TPduConnection Submitter =
      FStates.Mode() == TBindMode::bmTransceiver ? TPduConnection::pcTrx : TPduConnection::pcTcx;
  return FStates.InUse(Submitter) && FStates.Status(Submitter).State == TLinkState::lsBound;
}
