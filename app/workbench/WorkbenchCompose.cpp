// TWorkbench: the composer's tab beside the connection panel, its Send action (Ctrl+Return, from
// any of the composer's fields) and its place in the tab order.
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <utility>

#include "app/workbench/ComposerPanel.h"
#include "app/workbench/Workbench.h"

QWidget* TWorkbench::MakeLeftTabs(QWidget* ConnectionPanel) {
  LeftTabs = new QTabWidget;
  LeftTabs->setDocumentMode(true);
  // No mnemonics on the tabs: every letter of both names already takes the focus to a field of
  // the connection panel (Alt+C its CA file, Alt+O "Don't answer"). Ctrl+Tab switches them.
  LeftTabs->addTab(ConnectionPanel, "Connection");
  Composer = new TComposerPanel(
      [this](TClientRunner::TTask T) {
        if (FRunner) FRunner->Post(std::move(T));
      },
      [this] { return CanSubmit(); },
      [this](const QString& Line) { statusBar()->showMessage(Line, 8000); });
  // The composer scrolls like the connection panel when the window is lower than it.
  auto* Scroll = new QScrollArea;
  Scroll->setWidgetResizable(true);
  Scroll->setFrameShape(QFrame::NoFrame);
  Scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Scroll->setWidget(Composer);
  Scroll->setMinimumWidth(Composer->minimumSizeHint().width() +
                          Scroll->verticalScrollBar()->sizeHint().width());
  LeftTabs->addTab(Scroll, "Compose");
  return LeftTabs;
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
