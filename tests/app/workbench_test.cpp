// Workbench tests: the real TWorkbench in the tests' X server, driven by keys and clicks against
// the local SMSC on 127.0.0.1: bind as a pair and as a transceiver with the shortcuts pressed in a
// line edit, the traffic rows, the inspector, the filter, export, copy, the jump from a request to
// its response, Unbind, closing while connected, why a bind or a connect failed, and our answers to
// deliveries.
#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CaptureTools.h"
#include "ClientReports.h"
#include "WorkbenchFixture.h"
#include "app/Options.h"
#include "app/workbench/AnswerPanel.h"
#include "app/workbench/BindFields.h"
#include "app/workbench/ClientRunner.h"
#include "app/workbench/HexView.h"
#include "app/workbench/TrafficModel.h"
#include "app/workbench/Workbench.h"
#include "gtest/gtest.h"
#include "inspect/PduDissector.h"
#include "interop/SmscProcess.h"
#include "net/SocketTestSupport.h"
#include "smpp/PduTrace.h"
#include "smpp/smppclient.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

namespace {

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
    if (const char* Picture = std::getenv("SMPP_WORKBENCH_SCREENSHOT"); Picture && C.Mode == 0) {
      EXPECT_TRUE(Wb->grab().save(Picture, "PNG")) << Picture;
    }

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
    SaveWithDialog(Capture, "pcapng (*.pcapng)");
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

TEST_F(WorkbenchTest, BindCarriesTheFoldedBindFields) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  TBindFields* F = Wb->BindFields;
  EXPECT_FALSE(F->AddrTon->isVisible());  // folded away at start
  QTest::mouseClick(F->Toggle, Qt::LeftButton);
  ASSERT_TRUE(F->AddrTon->isVisible());
  Wb->BindMode->setFocus();
  QTest::keyClick(Wb->BindMode, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), F->Toggle);
  QTest::keyClick(F->Toggle, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), F->AddrTon);
  // Typed as a tester would: what the fields refuse to take never reaches them.
  const QString Nines(45, u'9');
  const struct {
    const char* Name;
    QString Ton, Npi, Range, Version;
    QString Error;         // the status bar's word when Bind refuses, or empty
    const char* Bound[4];  // addr_ton, addr_npi, address_range, interface_version as dissected
  } Cases[] = {
      {"ton over 255", "256", "1", "", "0x34", "addr_ton must be a number from 0 to 255", {}},
      {"npi empty", "0", "", "", "0x34", "addr_npi must be a number from 0 to 255", {}},
      {"version cut at two hex digits", "0", "0", "", "0x1ff", "", {"0", "0", "", "31"}},
      {"hex, a leading zero, a range cut at 40 and no other characters",
       "0x05",
       "008",
       "^1" + QString(QChar(0xe9)) + Nines,
       "0x33",
       "",
       {"5", "8", nullptr, "51"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    if (!Wb) {
      Open();
      QTest::mouseClick(Wb->BindFields->Toggle, Qt::LeftButton);
    }
    F = Wb->BindFields;
    Type(F->AddrTon, C.Ton);
    Type(F->AddrNpi, C.Npi);
    // Key by key, as keyClicks takes ASCII only.
    Type(F->AddressRange, {});
    for (QChar Ch : C.Range)
      QTest::sendKeyEvent(QTest::Click, F->AddressRange, Qt::Key_unknown, Ch, Qt::NoModifier);
    Type(F->InterfaceVersion, C.Version);
    const size_t Mark = Smsc.mark();
    BindWithKeys(Smsc.port(), 1);
    if (!C.Error.isEmpty()) {
      EXPECT_EQ(Wb->statusBar()->currentMessage(), C.Error);
      EXPECT_TRUE(Wb->BindButton->isEnabled());
      continue;
    }
    ASSERT_TRUE(WaitForState(TPduConnection::pcTrx, "bound")) << Smsc.joinedLines();
    EXPECT_TRUE(Smsc.waitFor("bind_transceiver", {}, Mark));
    const TTrafficStore& Store = Wb->Traffic().Store();
    size_t Bind = 0;
    while (Bind < Store.Size() &&
           (Store.Row(Bind).Kind != TPduTraceKind::tkPdu ||
            DissectPdu(Store.Row(Bind).Bytes.get(), Store.Row(Bind).Length).Name !=
                "bind_transceiver"))
      ++Bind;
    ASSERT_LT(Bind, Store.Size());
    const TPduField Pdu = DissectPdu(Store.Row(Bind).Bytes.get(), Store.Row(Bind).Length);
    const char* Names[] = {"addr_ton", "addr_npi", "address_range", "interface_version"};
    const std::string Range = "^1" + std::string(38, '9');
    for (int I = 0; I < 4; ++I) {
      SCOPED_TRACE(Names[I]);
      const auto It = std::find_if(Pdu.Fields.begin(), Pdu.Fields.end(),
                                   [&](const TPduField& P) { return P.Name == Names[I]; });
      ASSERT_NE(It, Pdu.Fields.end());
      EXPECT_EQ(It->Kind == TFieldKind::fkText ? It->Text : std::to_string(It->Integer),
                C.Bound[I] ? C.Bound[I] : Range);
    }
    Wb.reset();
    TClientRunner::JoinFinished();
  }
}

// Our answers, set with the keys while bound: a status the local SMSC takes as transient makes it
// send the deliver_sm again; a delay holds the answer back; a status out of range is not applied;
// no answer leaves the deliver_sm without one, and the SMSC sends it again when its wait ends.
TEST_F(WorkbenchTest, AnswersDeliveriesAsSet) {
  SmscProcess Smsc({"--retry-delay", "300", "--retries", "1"});
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  const struct {
    const char* Name;
    QString Status, Delay;
    bool Silent;
    uint32_t Applied;    // the status the panel holds
    const char* Smsc;    // the SMSC's line that ends the delivery
    const char* Answer;  // the status column of our answers, or nullptr for none
    int Delivered;       // deliver_sm rows
  } Cases[] = {
      {"throttled, in hex", "0x58", "0", false, 0x58, "gave_up deliver_sm", "ESME_RTHROTTLED", 2},
      {"ok by name, delayed", "esme_rok", "150", false, 0, "deliver_sm_resp", "ESME_ROK", 1},
      {"a status over 32 bits is not applied", "0x100000000", "0", false, 0, "deliver_sm_resp",
       "ESME_ROK", 1},
      {"the largest status", "4294967295", "0", false, 0xFFFFFFFF, "gave_up deliver_sm", "reserved",
       2},
      {"don't answer", "88", "0", true, 0x58, "gave_up deliver_sm", nullptr, 2},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    if (!Wb) Open();
    BindWithKeys(Smsc.port(), 1);
    ASSERT_TRUE(WaitForState(TPduConnection::pcTrx, "bound")) << Smsc.joinedLines();
    TAnswerPanel* A = Wb->Answers;
    if (&C == Cases) {
      // After Unbind in the tab order, before the filter.
      Wb->UnbindButton->setFocus();
      for (QWidget* W :
           std::initializer_list<QWidget*>{A->Status, A->DelayMs, A->NoAnswer, Wb->Filter}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(W == QApplication::focusWidget() ||
                    W->isAncestorOf(QApplication::focusWidget()));
      }
    }
    // Alt and the labels' letters reach the fields.
    for (auto [Key, Text] : {std::pair{Qt::Key_A, C.Status}, std::pair{Qt::Key_L, C.Delay}}) {
      QTest::keyClick(Wb.get(), Key, Qt::AltModifier);
      QWidget* Field = QApplication::focusWidget();
      QTest::keyClick(Field, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClicks(Field, Text);
      QTest::keyClick(Field, Qt::Key_Return);
    }
    EXPECT_EQ(A->AppliedStatus(), C.Applied);
    EXPECT_EQ(A->StatusNote->text().startsWith("Not applied"), C.Status.startsWith("0x1"));
    if (C.Silent) QTest::keyClick(Wb.get(), Qt::Key_O, Qt::AltModifier);
    // A button's mnemonic clicks it a moment later; then the settings reach the client.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return A->NoAnswer->isChecked() == C.Silent && Wb->Runner().Busy() == 0; }));
    EXPECT_EQ(A->Status->isEnabled(), !C.Silent);
    const size_t Mark = Smsc.mark();
    ASSERT_TRUE(Smsc.send(std::string("deliver 555 1234 ") + C.Name));
    ASSERT_TRUE(Smsc.waitFor(C.Smsc, {}, Mark, 5s)) << Smsc.joinedLines();
    const auto Rows = [&](const char* Command) {
      std::vector<size_t> Out;
      for (size_t I = 0; I < Wb->Traffic().Store().Size(); ++I)
        if (Wb->Traffic().Cell(static_cast<int>(I), TTrafficModel::cCommand) == Command)
          Out.push_back(I);
      return Out;
    };
    const size_t Answers = C.Answer ? C.Delivered : 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return Rows("deliver_sm").size() == size_t(C.Delivered) &&
                 Rows("deliver_sm_resp").size() == Answers;
        },
        5000))
        << Rows("deliver_sm").size() << " deliver_sm, " << Rows("deliver_sm_resp").size()
        << " answers";
    for (size_t I = 0; I < Answers; ++I) {
      const size_t Resp = Rows("deliver_sm_resp")[I], Deliver = Rows("deliver_sm")[I];
      EXPECT_EQ(Wb->Traffic().Cell(static_cast<int>(Resp), TTrafficModel::cStatus), C.Answer);
      EXPECT_GE(Wb->Traffic().Store().Row(Resp).MonotonicNs -
                    Wb->Traffic().Store().Row(Deliver).MonotonicNs,
                C.Delay.toLongLong() * 1000000);
    }
    Wb.reset();
    TClientRunner::JoinFinished();
  }
}

std::string ReadFile(const QString& Path) {
  std::ifstream In(Path.toStdString(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// RFC 4180 text read back: rows of fields.
std::vector<std::vector<std::string>> ReadCsv(const std::string& T) {
  std::vector<std::vector<std::string>> Rows(1, std::vector<std::string>(1));
  bool Quoted = false;
  for (size_t I = 0; I < T.size(); ++I) {
    if (Quoted && T[I] == '"' && I + 1 < T.size() && T[I + 1] == '"') {
      Rows.back().back() += T[I++];
    } else if (T[I] == '"') {
      Quoted = !Quoted;
    } else if (!Quoted && T[I] == ',') {
      Rows.back().emplace_back();
    } else if (!Quoted && T.compare(I, 2, "\r\n") == 0) {
      Rows.emplace_back(1);
      ++I;
    } else {
      Rows.back().back() += T[I];
    }
  }
  Rows.pop_back();  // after the last line's end
  return Rows;
}

TEST_F(WorkbenchTest, ExportsCopiesAndJumpsBetweenRequestAndResponse) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  BindWithKeys(Smsc.port(), 1);
  ASSERT_TRUE(WaitForState(TPduConnection::pcTrx, "bound"));
  Wb->Runner().Post([](TSmppClient& C) { C.Send("1234", "5550100", "", "a,\"b\" \\ x\ty;"); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return RowOf("submit_sm_resp") >= 0; }, 10000));
  QTemporaryDir Dir;
  // The rows the filter leaves, through the dialog by type and by the function by extension.
  QTest::keyClicks(Wb->Filter, "cmd:submit_sm");
  const int Shown = Wb->Table->model()->rowCount();
  ASSERT_EQ(Shown, 2);
  const std::string Summary = Cell(RowOf("submit_sm"), TTrafficModel::cSummary).toStdString();
  ASSERT_NE(Summary.find(R"(text="a,\"b\" \\)"), std::string::npos) << Summary;
  SaveWithDialog(Dir.filePath("table"), "CSV (*.csv)");
  EXPECT_EQ(Wb->statusBar()->currentMessage(), "Saved " + Dir.filePath("table"));
  const auto Csv = ReadCsv(ReadFile(Dir.filePath("table")));
  ASSERT_EQ(Csv.size(), 1u + Shown);
  EXPECT_EQ(Csv[1 + RowOf("submit_sm")][7], Summary);
  EXPECT_EQ(Wb->ExportTable(Dir.filePath("t.jsonl").toStdString(), TTrafficFormat::tfJsonLines),
            "");
  std::istringstream Json(ReadFile(Dir.filePath("t.jsonl")));
  std::vector<nlohmann::json> Lines;
  for (std::string Line; std::getline(Json, Line);) Lines.push_back(nlohmann::json::parse(Line));
  ASSERT_EQ(Lines.size(), size_t(Shown));
  EXPECT_EQ(Lines[RowOf("submit_sm")]["summary"], Summary);
  // A failure says why in the status bar.
  SaveWithDialog(Dir.filePath("missing/t.csv"), "CSV (*.csv)");
  EXPECT_EQ(
      Wb->statusBar()->currentMessage(),
      "Not saved: cannot write " + Dir.filePath("missing/t.csv") + ": No such file or directory");

  // Two rows copied in view order, whatever order they were picked in.
  ClickCell(1, 0);
  ClickCell(0, 0, Qt::ControlModifier);
  QTest::keyClick(Wb->Table, Qt::Key_C, Qt::ControlModifier);
  const QStringList Copied = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(Copied.size(), 3);
  EXPECT_TRUE(Copied[0].startsWith("time\tconnection\tdirection\tcommand\t"));
  EXPECT_EQ(Copied[1].split('\t')[3], Cell(0, TTrafficModel::cCommand));
  EXPECT_EQ(Copied[2].split('\t')[3], Cell(1, TTrafficModel::cCommand));

  // Ctrl+J with the filter focused goes to the response; its button comes back.
  ClickCell(RowOf("submit_sm"), 0);
  EXPECT_TRUE(Wb->PartnerLabel->text().startsWith("Response: submit_sm_resp, ESME_ROK, "))
      << Wb->PartnerLabel->text().toStdString() << " at row " << Wb->Table->currentIndex().row()
      << " of " << Wb->Table->model()->rowCount();
  QTest::keyClick(Wb->Filter, Qt::Key_J, Qt::ControlModifier);
  EXPECT_EQ(Wb->Table->currentIndex().row(), RowOf("submit_sm_resp"));
  EXPECT_EQ(Wb->PartnerButton->text(), "Go to request");
  QTest::mouseClick(Wb->PartnerButton, Qt::LeftButton);
  EXPECT_EQ(Wb->Table->currentIndex().row(), RowOf("submit_sm"));
  // Typing a filter that shows the current row keeps it current.
  Type(Wb->Filter, "submit");
  EXPECT_EQ(Cell(Wb->Table->currentIndex().row(), TTrafficModel::cCommand), "submit_sm");
  // A partner the filter hides stays hidden, and the status bar says so.
  Type(Wb->Filter, "cmd:submit_sm_resp");
  ClickCell(0, 0);
  QTest::keyClick(Wb->Filter, Qt::Key_J, Qt::ControlModifier);
  EXPECT_EQ(Wb->statusBar()->currentMessage(), "The request is hidden by the filter");

  // The report lines as the pane shows them.
  EXPECT_EQ(Wb->ExportReports(Dir.filePath("r.txt").toStdString()), "");
  EXPECT_EQ(QString::fromStdString(ReadFile(Dir.filePath("r.txt"))),
            Wb->Reports->toPlainText() + "\n");
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
  // No host: refused before anything connects.
  Open();
  Type(Wb->Host, "  ");
  BindWithKeys(Smsc.port(), 0);
  EXPECT_EQ(Wb->statusBar()->currentMessage(), "The host is empty");
  EXPECT_TRUE(Wb->BindButton->isEnabled());
}

TEST_F(WorkbenchTest, ClosingWhileConnectedEndsPromptly) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  // A loopback listener whose one-place accept queue is full: the client's connect hangs there.
  sockettest::TPlainListener Deaf(0);
  const int Filler = sockettest::PlainConnect(Deaf.Port);
  ASSERT_GE(Filler, 0);
  // The process's threads but the socket pool's workers, which outlive their sockets.
  const auto ClientThreads = [] {
    return sockettest::ThreadCount() - TIcsWorkerPool::Instance().CreationCount();
  };
  Wb.reset();
  TClientRunner::JoinFinished();
  enum { Bound, Unbinding, Reconnecting, Connecting };
  for (int State : {Bound, Unbinding, Reconnecting, Connecting}) {
    SCOPED_TRACE(State);
    // At most as many: a thread of Qt's own (a file dialog's from an earlier test) may end
    // meanwhile.
    const int Threads = ClientThreads();
    Open();
    BindWithKeys(State == Reconnecting ? 1 : State == Connecting ? Deaf.Port : Smsc.port(), 0);
    if (State == Reconnecting)
      ASSERT_TRUE(QTest::qWaitFor(
          [&] { return this->State(TPduConnection::pcTcx).startsWith("reconnecting"); }, 10000));
    else
      ASSERT_TRUE(
          WaitForState(TPduConnection::pcTcx, State == Connecting ? "connecting" : "bound"));
    if (State == Unbinding)
      QTest::keyClick(Wb.get(), Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    const size_t Mark = Smsc.mark();
    const auto Start = std::chrono::steady_clock::now();
    Wb->close();
    Wb.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 1s);
    TClientRunner::JoinFinished();
    // The client's timer threads end on their own once told to, shortly after.
    EXPECT_TRUE(QTest::qWaitFor([&] { return ClientThreads() <= Threads; }, 5000))
        << ClientThreads() << " threads, " << Threads << " before";
    if (State == Bound) {
      EXPECT_TRUE(Smsc.waitFor("close", {}, Mark));
    }
  }
  ::close(Filler);
}

// The model stays consistent, for its views and a filter on it, while full batches push rows out
// and a filter is typed, narrowed, widened or cleared between them; the filter checking one row a
// slice (so that rows arrive and leave while it runs) or the whole table at once. Sequence S is an
// enquire_link, an enquire_link_resp or an unbind as S % 3.
TEST(TrafficModel, DropsTheOldestRowsInStepWithItsViews) {
  const struct {
    QStringList Steps;       // "+N": N records in one batch; "clear": Ctrl+L; "done": the check
                             // finished at once; else a filter
    std::vector<int> Shown;  // sequence numbers of the rows shown at the end
    uint64_t Dropped;        // into a model of three rows
  } Cases[] = {
      {{"cmd:enquire", "+2"}, {0, 1}, 0},
      {{"cmd:enquire", "+3", "+2"}, {3, 4}, 2},
      {{"cmd:enquire", "+5"}, {3, 4}, 2},
      {{"cmd:enquire", "+1", "+1", "+1", "+1"}, {1, 3}, 1},
      {{"+3", "cmd:e", "+2", "cmd:enquire_link_", "+2"}, {4}, 4},
      {{"+3", "CMD:ENQ", "+1", "cmd:unbind", "+1", "", "+1"}, {3, 4, 5}, 3},
      {{"+3", "_resp", "+1", "status:esme_rok", "+3"}, {4}, 4},
      {{"+3", "cmd:enquire_link", "clear", "+2"}, {3, 4}, 0},
      {{"+2", "nothing like it", "+4"}, {}, 3},
      {{"+3", "cmd:enq", "done", "cmd:enquire", "cmd:enquire_link", "+1"}, {1, 3}, 1},
  };
  for (size_t RowsPerSlice : {size_t(1), size_t(0)}) {
    for (const auto& C : Cases) {
      SCOPED_TRACE(C.Steps.join(' ').toStdString() + ", rows per slice " +
                   std::to_string(RowsPerSlice));
      TTrafficModel Model(3);
      TTrafficFilter Filter;
      Filter.setSourceModel(&Model);
      Filter.SetRowsPerSlice(RowsPerSlice);
      // The tester reports a broken rule as a warning; any warning fails the case.
      static int Warnings;
      Warnings = 0;
      const QtMessageHandler Previous = qInstallMessageHandler(
          [](QtMsgType, const QMessageLogContext&, const QString&) { ++Warnings; });
      QAbstractItemModelTester Tester(&Filter,
                                      QAbstractItemModelTester::FailureReportingMode::Warning);
      uint32_t Sequence = 0;
      const uint8_t Ids[3][4] = {{0, 0, 0, 0x15}, {0x80, 0, 0, 0x15}, {0, 0, 0, 6}};
      for (const QString& Step : C.Steps) {
        if (Step == "clear") {
          Model.Clear();
        } else if (Step == "done") {
          Filter.Finish();
        } else if (Step.startsWith('+')) {
          std::vector<TPduTraceRecord> Batch(Step.mid(1).toUInt());
          for (TPduTraceRecord& R : Batch) {
            const uint8_t* Id = Ids[Sequence % 3];
            R.Bytes = {0, 0, 0, 16, Id[0], Id[1], Id[2], Id[3],
                       0, 0, 0, 0,  0,     0,     0,     uint8_t(Sequence++)};
            R.OriginalLength = R.Bytes.size();
          }
          Model.Append(Batch);
        } else {
          // A row a view holds on to stays on the same row, or leaves.
          const QPersistentModelIndex Last =
              Filter.index(Filter.rowCount() - 1, TTrafficModel::cSequence);
          const QVariant Before = Last.data();
          Filter.SetFilter(Step);
          if (Last.isValid()) {
            EXPECT_EQ(Last.data(), Before);
          }
        }
      }
      Filter.Finish();
      EXPECT_FALSE(Filter.Checking());
      qInstallMessageHandler(Previous);
      EXPECT_EQ(Warnings, 0);
      std::vector<int> Shown;
      for (int R = 0; R < Filter.rowCount(); ++R) {
        Shown.push_back(Filter.index(R, TTrafficModel::cSequence).data().toInt());
        EXPECT_EQ(Filter.mapFromSource(Filter.mapToSource(Filter.index(R, 1))).row(), R);
      }
      EXPECT_EQ(Shown, C.Shown);
      EXPECT_EQ(Model.Store().Dropped(), C.Dropped);
    }
  }
}

// The time column in local time, as QDateTime reads the same instant, in zones with whole, half
// and no hours of offset, either side of their changes.
TEST(TrafficModel, ShowsTheTimeInLocalTime) {
  const QByteArray Saved = qgetenv("TZ");
  const char* const Zones[] = {"UTC", "Europe/Berlin", "Asia/Kolkata", "America/St_Johns"};
  // Microseconds since the epoch: Berlin's spring and autumn changes, St. John's spring change.
  const int64_t Instants[] = {1774745999999999, 1774746000000000, 1792889999999999,
                              1792890000000000, 1772947799999999, 1772947800000000,
                              1772000000123456};
  for (const char* Zone : Zones) {
    SCOPED_TRACE(Zone);
    qputenv("TZ", Zone);
    tzset();
    TTrafficModel Model;
    std::vector<TPduTraceRecord> Records(std::size(Instants));
    for (size_t I = 0; I < Records.size(); ++I)
      Records[I].MonotonicNs = Instants[I] * 1000 - PduTraceWallNs(0);
    Model.Append(Records);
    for (size_t I = 0; I < Records.size(); ++I) {
      const int64_t Us = PduTraceWallNs(Records[I].MonotonicNs) / 1000;
      EXPECT_EQ(Model.Cell(static_cast<int>(I), TTrafficModel::cTime),
                QDateTime::fromMSecsSinceEpoch(Us / 1000).toString("HH:mm:ss.zzz") +
                    QString::number(Us % 1000).rightJustified(3, u'0'))
          << Instants[I];
    }
  }
  Saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", Saved);
  tzset();
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
