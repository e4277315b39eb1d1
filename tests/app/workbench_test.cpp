// Workbench tests: the real TWorkbench in the tests' X server, driven by keys and clicks against
// the local SMSC on 127.0.0.1: bind as a pair and as a transceiver with the shortcuts pressed in a
// line edit, the traffic rows, the inspector, the filter, Unbind, closing while connected, and why
// a bind or a connect failed.
#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "CaptureTools.h"
#include "ClientReports.h"
#include "app/Options.h"
#include "app/workbench/ClientRunner.h"
#include "app/workbench/HexView.h"
#include "app/workbench/TrafficModel.h"
#include "app/workbench/Workbench.h"
#include "gtest/gtest.h"
#include "interop/SmscProcess.h"
#include "smpp/smppclient.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

namespace {

class WorkbenchTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void TearDown() override {
    Wb.reset();
    TClientRunner::JoinFinished();
  }
  void Open() {
    Wb = std::make_unique<TWorkbench>();
    Wb->show();
    Wb->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Wb.get()));
  }
  static void Type(QLineEdit* Edit, const QString& Text) {
    QTest::mouseClick(Edit, Qt::LeftButton);
    QTest::keyClick(Edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(Edit, Qt::Key_Delete);
    QTest::keyClicks(Edit, Text);
  }
  // Fills the panel and presses Ctrl+B while the system id field has the focus.
  void BindWithKeys(uint16_t Port, int Mode) {
    Type(Wb->Port, QString::number(Port));
    Wb->BindMode->setCurrentIndex(Mode);
    Type(Wb->SystemId, "wbuser");
    QTest::keyClick(Wb->SystemId, Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(Wb->SystemId->text(), "wbuser");  // the key did not reach the field
  }
  QString State(TPduConnection C) { return Wb->StateLabels[static_cast<int>(C)]->text(); }
  bool WaitForState(TPduConnection C, const QString& Text, int TimeoutMs = 10000) {
    return QTest::qWaitFor([&] { return State(C) == Text; }, TimeoutMs);
  }
  // The first row of the table (as filtered) whose command is Command, or -1.
  int RowOf(const QString& Command) {
    const QAbstractItemModel* M = Wb->Table->model();
    for (int R = 0; R < M->rowCount(); ++R)
      if (M->index(R, TTrafficModel::cCommand).data().toString() == Command) return R;
    return -1;
  }
  void ClickCell(int Row, int Column) {
    const QModelIndex I = Wb->Table->model()->index(Row, Column);
    Wb->Table->scrollTo(I);
    QTest::mouseClick(Wb->Table->viewport(), Qt::LeftButton, {}, Wb->Table->visualRect(I).center());
  }

  std::unique_ptr<TWorkbench> Wb;
};

TEST_F(WorkbenchTest, BindsShowsTrafficInspectsAndUnbindsWithKeys) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  const struct {
    const char* Name;
    int Mode;
    std::vector<TPduConnection> Used;
    const char* Bind;
  } Cases[] = {
      {"pair", 0, {TPduConnection::pcRcx, TPduConnection::pcTcx}, "bind_transmitter"},
      {"transceiver", 1, {TPduConnection::pcTrx}, "bind_transceiver"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    if (!Wb) Open();
    EXPECT_TRUE(Wb->BindButton->isEnabled());
    EXPECT_FALSE(Wb->UnbindButton->isEnabled());
    BindWithKeys(Smsc.port(), C.Mode);
    for (TPduConnection Used : C.Used)
      ASSERT_TRUE(WaitForState(Used, "bound")) << State(Used).toStdString() << Smsc.joinedLines();
    EXPECT_TRUE(Smsc.waitFor(C.Bind, {"system_id=wbuser"}));
    EXPECT_FALSE(Wb->BindButton->isEnabled());
    EXPECT_TRUE(Wb->UnbindButton->isEnabled());

    // A submit and its answer become rows.
    Wb->Runner().Post([](TSmppClient& Client) { Client.Send("1234", "5550100", "", "Hello"); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return RowOf("submit_sm_resp") >= 0; }, 10000));
    const int Submit = RowOf("submit_sm");
    ASSERT_GE(Submit, 0);
    ClickCell(Submit, TTrafficModel::cCommand);
    ASSERT_EQ(Wb->Fields->topLevelItemCount(), 1);
    QTreeWidgetItem* Top = Wb->Fields->topLevelItem(0);
    EXPECT_EQ(Top->text(0), "submit_sm");
    QTreeWidgetItem* Destination = nullptr;
    for (int I = 0; I < Top->childCount(); ++I)
      if (Top->child(I)->text(0) == "destination_addr") Destination = Top->child(I);
    ASSERT_NE(Destination, nullptr);
    EXPECT_EQ(Destination->text(1), "5550100");
    // Selecting the field highlights its bytes: the digits and the terminator.
    Wb->Fields->scrollToItem(Destination);
    QTest::mouseClick(Wb->Fields->viewport(), Qt::LeftButton, {},
                      {Wb->Fields->viewport()->width() / 2,
                       Wb->Fields->visualItemRect(Destination).center().y()});
    EXPECT_EQ(Wb->Hex->HighlightLength(), 8u);
    EXPECT_EQ(Wb->Hex->HighlightOffset(), Destination->data(0, Qt::UserRole).toULongLong());
    // One selection in the hex and one in the characters per line the field touches.
    const int Lines = (26 + 8 - 1) / Wb->Hex->BytesPerLine() - 26 / Wb->Hex->BytesPerLine() + 1;
    EXPECT_EQ(Wb->Hex->extraSelections().size(), 2 * Lines);

    // scripts/screenshot asks for the README's picture of the workbench here.
    if (const char* Picture = std::getenv("SMPP_WORKBENCH_SCREENSHOT"); Picture && C.Mode == 0)
      EXPECT_TRUE(Wb->grab().save(Picture, "PNG")) << Picture;

    // A burst: every PDU in the table, followed while the view is at its end and left where the
    // reader put it otherwise.
    QScrollBar* Bar = Wb->Table->verticalScrollBar();
    for (int Burst : {3000, 100}) {
      const size_t Before = Wb->Traffic().Store().Size();
      ASSERT_TRUE(Smsc.send("burst " + std::to_string(Burst) + " 777 1234"));
      ASSERT_TRUE(QTest::qWaitFor(
          [&] { return Wb->Traffic().Store().Size() >= Before + 2 * Burst; }, 30000));
      QTest::qWait(0);
      if (Burst == 3000) {
        EXPECT_EQ(Bar->value(), Bar->maximum());
        Bar->setValue(0);
      } else {
        EXPECT_EQ(Bar->value(), 0);
      }
    }
    EXPECT_EQ(Wb->Traffic().Store().Dropped(), 0u);

    // Ctrl+S from a line edit saves the rows as a capture that tshark reads as they are.
    QTemporaryDir Dir;
    const QString Capture = Dir.filePath("traffic.pcapng");
    QTimer::singleShot(0, [&] {
      (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
      if (auto* Dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        Dialog->selectFile(Capture);
        static_cast<QDialog*>(Dialog)->accept();  // QFileDialog::accept, through the base
      }
    });
    QTest::keyClick(Wb->SystemType, Qt::Key_S, Qt::ControlModifier);
    std::vector<uint32_t> Expected;
    for (size_t I = 0; I < Wb->Traffic().Store().Size(); ++I)
      if (const TTrafficRow& Row = Wb->Traffic().Store().Row(I); Row.Kind == TPduTraceKind::tkPdu)
        Expected.push_back(uint32_t(Row.Bytes[4]) << 24 | uint32_t(Row.Bytes[5]) << 16 |
                           uint32_t(Row.Bytes[6]) << 8 | Row.Bytes[7]);
    size_t Frames = 0;
    EXPECT_EQ(capturetest::TsharkSmppIds(Capture.toStdString(), Smsc.port(), Frames), Expected);

    // Ctrl+F from a line edit goes to the filter; a command filter leaves only those rows.
    Type(Wb->Host, "127.0.0.1");
    QTest::keyClick(Wb->Host, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), Wb->Filter);
    QTest::keyClicks(Wb->Filter, "cmd:submit_sm_resp");
    EXPECT_EQ(Wb->Table->model()->rowCount(), 1);
    // Ctrl+L, pressed in the filter, clears the table.
    QTest::keyClick(Wb->Filter, Qt::Key_L, Qt::ControlModifier);
    EXPECT_EQ(Wb->Traffic().rowCount(), 0);
    EXPECT_EQ(Wb->Filter->text(), "cmd:submit_sm_resp");
    Wb->Filter->clear();

    // Ctrl+Shift+B from a line edit unbinds; the window keeps running while Unbind waits.
    const size_t Mark = Smsc.mark();
    QTest::keyClick(Wb->Password, Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(Wb->UnbindButton->isEnabled());
    // The key has returned while Disconnect still waits on the client's thread.
    EXPECT_EQ(Wb->Runner().Busy(), 1);
    EXPECT_TRUE(Smsc.waitFor("unbind", {}, Mark));
    for (TPduConnection Used : C.Used) ASSERT_TRUE(WaitForState(Used, "closed"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Wb->BindButton->isEnabled(); }, 10000));
    EXPECT_TRUE(
        Wb->Reports->toPlainText().contains(C.Mode ? "trx disconnected" : "rcx disconnected"));
    Wb.reset();
  }
}

TEST_F(WorkbenchTest, ShowsWhyABindFailed) {
  SmscProcess Smsc({"--password", "secret"});
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  const struct {
    const char* Name;
    uint16_t Port;
    int Mode;
    std::vector<TPduConnection> Shown;
    const char* Label;  // a pattern
  } Cases[] = {
      // The local SMSC refuses any other password with ESME_RINVPASWD.
      {"bind refused", Smsc.port(), 1, {TPduConnection::pcTrx}, "bind refused: ESME_RINVPASWD"},
      {"connection refused",
       UnusedLoopbackPort(),
       0,
       {TPduConnection::pcRcx, TPduConnection::pcTcx},
       "^reconnecting in [1-5] s \\(connection refused\\)$"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    if (!Wb) Open();
    Type(Wb->Password, "badpass");
    BindWithKeys(C.Port, C.Mode);
    const QRegularExpression Label(C.Label);
    for (TPduConnection Shown : C.Shown)
      EXPECT_TRUE(QTest::qWaitFor([&] { return Label.match(State(Shown)).hasMatch(); }, 10000))
          << State(Shown).toStdString() << Smsc.joinedLines();
    Wb.reset();
  }
}

TEST_F(WorkbenchTest, ClosingWhileConnectedEndsPromptly) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  enum { Bound, Unbinding, Reconnecting };
  for (int State : {Bound, Unbinding, Reconnecting}) {
    SCOPED_TRACE(State);
    if (!Wb) Open();
    BindWithKeys(State == Reconnecting ? 1 : Smsc.port(), 0);
    if (State == Reconnecting)
      ASSERT_TRUE(QTest::qWaitFor(
          [&] { return this->State(TPduConnection::pcTcx).startsWith("reconnecting"); }, 10000));
    else
      ASSERT_TRUE(WaitForState(TPduConnection::pcTcx, "bound"));
    if (State == Unbinding)
      QTest::keyClick(Wb.get(), Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    const size_t Mark = Smsc.mark();
    const auto Start = std::chrono::steady_clock::now();
    Wb->close();
    Wb.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 1s);
    TClientRunner::JoinFinished();
    if (State == Bound) EXPECT_TRUE(Smsc.waitFor("close", {}, Mark));
  }
}

// The model stays consistent, for its views and a filter on it, while full batches push rows out.
TEST(TrafficModel, DropsTheOldestRowsInStepWithItsViews) {
  const struct {
    std::vector<uint32_t> Batches;  // records per batch, into a model of three rows
    int Rows;
    uint64_t Dropped;
    QString First;  // sequence number of the oldest row kept
  } Cases[] = {
      {{2}, 2, 0, "0"},
      {{3, 2}, 3, 2, "2"},
      {{5}, 3, 2, "2"},
      {{1, 1, 1, 1}, 3, 1, "1"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Batches.size());
    TTrafficModel Model(3);
    TTrafficFilter Filter;
    Filter.setSourceModel(&Model);
    Filter.SetFilter("cmd:enquire");
    // The tester reports a broken rule as a warning; any warning fails the case.
    static int Warnings;
    Warnings = 0;
    const QtMessageHandler Previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString&) { ++Warnings; });
    QAbstractItemModelTester Tester(&Filter,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    uint32_t Sequence = 0;
    for (uint32_t Count : C.Batches) {
      std::vector<TPduTraceRecord> Batch(Count);
      for (TPduTraceRecord& R : Batch) {
        R.Bytes = {0, 0, 0, 16, 0, 0, 0, 0x15, 0, 0, 0, 0, 0, 0, 0, uint8_t(Sequence++)};
        R.OriginalLength = R.Bytes.size();
      }
      Model.Append(Batch);
    }
    qInstallMessageHandler(Previous);
    EXPECT_EQ(Warnings, 0);
    EXPECT_EQ(Filter.rowCount(), C.Rows);
    EXPECT_EQ(Model.Store().Dropped(), C.Dropped);
    EXPECT_EQ(Filter.index(0, TTrafficModel::cSequence).data().toString(), C.First);
  }
}

TEST_F(WorkbenchTest, OptionsFillThePanel) {
  const struct {
    std::vector<const char*> Args;
    QString Host, Port;
    bool Tls, Verify;
  } Cases[] = {
      {{"--workbench"}, "127.0.0.1", "2775", false, true},
      {{"--workbench", "--host", "localhost", "--port=2776", "--tls", "--tls-insecure"},
       "localhost",
       "2776",
       true,
       false},
  };
  for (const auto& C : Cases) {
    std::vector<const char*> Argv = {"smppwin"};
    Argv.insert(Argv.end(), C.Args.begin(), C.Args.end());
    SCOPED_TRACE(Argv.size());
    TOptions O;
    std::string Error;
    ASSERT_TRUE(ParseOptions(static_cast<int>(Argv.size()), Argv.data(), O, Error)) << Error;
    EXPECT_TRUE(O.Workbench);
    TWorkbench Fresh;
    ApplyOptions(Fresh, O);
    EXPECT_EQ(Fresh.Host->text(), C.Host);
    EXPECT_EQ(Fresh.Port->text(), C.Port);
    EXPECT_EQ(Fresh.Tls->isChecked(), C.Tls);
    EXPECT_EQ(Fresh.TlsVerify->isChecked(), C.Verify);
  }
}

}  // namespace
