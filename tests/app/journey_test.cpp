// Journey tests: the workbench bound to the local SMSC on 127.0.0.1 follows a long and a short
// message to their receipts, lists a receipt of an unknown id apart, and links the journey and the
// traffic table both ways; its tab and its Clear, apart from the table's; the requests about the
// message chosen there.
#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdlib>

#include "WorkbenchFixture.h"
#include "app/workbench/JourneyView.h"
#include "app/workbench/RequestPanel.h"
#include "interop/SmscProcess.h"
#include "smpp/LongMessage.h"
#include "smpp/PduTestUtil.h"
#include "smpp/smppclient.h"

using smpptest::SmscProcess;

namespace {

// The model over a journey of three messages at most: rows leave at the front, come at the end
// and change in place as the journey moves on, and a Clear empties it, each as one step a view
// (and QAbstractItemModelTester) can follow.
TEST(JourneyModel, FollowsTheJourneyInSteps) {
  TJourneyModel Model(3);
  QAbstractItemModelTester Tester(&Model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QSignalSpy Changed(&Model, &QAbstractItemModel::dataChanged);
  const auto Pdu = [](TPduDirection D, Bytes B) {
    const size_t Length = B.size();
    return TPduTraceRecord{TPduConnection::pcTrx, D, TPduTraceKind::tkPdu, {}, 1, Length, B};
  };
  const auto Submit = [&](uint32_t Seq) {
    PduBuilder B;
    B.CStr("").U8(1).U8(1).CStr("1").U8(1).U8(1).CStr("2").U8(0).U8(0).U8(0).CStr("").CStr("");
    return Pdu(TPduDirection::pdOut,
               B.U8(1).U8(0).U8(0).U8(0).U8(1).Str("x").Finish(kSubmitSm, Seq));
  };
  const auto Resp = [&](uint32_t Seq) {
    return Pdu(TPduDirection::pdIn, PduBuilder().CStr("id").Finish(kSubmitSmResp, Seq));
  };
  const struct {
    const char* Name;
    std::vector<TPduTraceRecord> Trace;
    bool Clear;
    const char* Rows;  // each row's number and state
    int Changed;       // dataChanged signals
  } Cases[] = {
      {"two sent", {Submit(1), Submit(2)}, false, "1 awaiting response|2 awaiting response", 0},
      {"one answered", {Resp(2)}, false, "1 awaiting response|2 accepted, no receipt yet", 1},
      {"three more",
       {Submit(3), Submit(4), Resp(1), Submit(5)},
       false,
       "3 awaiting response|4 awaiting response|5 awaiting response",
       0},
      {"cleared, one sent", {Submit(6)}, true, "6 awaiting response", 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Changed.clear();
    if (C.Clear) Model.Clear();
    for (const TPduTraceRecord& R : C.Trace) Model.OnTrace(R);
    Model.Refresh();
    QStringList Rows;
    for (int R = 0; R < Model.rowCount(); ++R)
      Rows << Model.index(R, TJourneyModel::cNumber).data().toString() + " " +
                  Model.index(R, TJourneyModel::cState).data().toString();
    EXPECT_EQ(Rows.join('|'), C.Rows);
    EXPECT_EQ(Changed.size(), C.Changed);
  }
}

class JourneyTest : public WorkbenchTest {
 protected:
  // Binds as a pair, sends a 2-part message (a user data header) and a short one, and waits until
  // both are delivered.
  void SendTwo() {
    BindWithKeys(Smsc.port(), 0);
    ASSERT_TRUE(WaitForState(TPduConnection::pcTcx, "bound")) << Smsc.joinedLines();
    ASSERT_TRUE(WaitForState(TPduConnection::pcRcx, "bound")) << Smsc.joinedLines();
    Wb->Runner().Post([](TSmppClient& C) {
      C.ClientInfo().Set_submit_long_mode(TLongMessageMode::lmUdh);
      C.Send("1234", "5550100", "", std::string(200, 'a'));
      C.Send("1234", "5550101", "", "Hi");
    });
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Model().rowCount() == 2 && Text(1, TJourneyModel::cState) == "DELIVRD"; },
        10000))
        << Model().rowCount() << Smsc.joinedLines();
  }
  TJourneyModel& Model() { return Wb->Journey->Model(); }
  QString Text(int Row, int Column) { return Model().index(Row, Column).data().toString(); }
  // The detail's item of the chosen message's first part named Name.
  QTreeWidgetItem* DetailItem(const QString& Name) {
    QTreeWidgetItem* Part = Wb->Journey->Detail->topLevelItem(0);
    for (int I = 0; Part && I < Part->childCount(); ++I)
      if (Part->child(I)->text(0) == Name) return Part->child(I);
    return nullptr;
  }
  void DoubleClick(QTreeWidgetItem* Item) {
    QTreeWidget* Tree = Item->treeWidget();
    Tree->scrollToItem(Item);
    // A view takes a double-click on the item it was pressed on.
    const QPoint At = Tree->visualItemRect(Item).center();
    QTest::mousePress(Tree->viewport(), Qt::LeftButton, {}, At);
    QTest::mouseRelease(Tree->viewport(), Qt::LeftButton, {}, At);
    QTest::mouseDClick(Tree->viewport(), Qt::LeftButton, {}, At);
  }

  SmscProcess Smsc;
};

TEST_F(JourneyTest, FollowsEachMessageToItsReceipt) {
  QAbstractItemModelTester Tester(&Wb->Journey->Model(),
                                  QAbstractItemModelTester::FailureReportingMode::Fatal);
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  SendTwo();
  const struct {
    const char* Destination;
    const char* Parts;
    int Receipts;
  } Cases[] = {{"5550100", "2", 2}, {"5550101", "1", 1}};
  for (int Row = 0; Row < 2; ++Row) {
    const auto& C = Cases[Row];
    SCOPED_TRACE(C.Destination);
    EXPECT_EQ(Text(Row, TJourneyModel::cDestination), C.Destination);
    EXPECT_EQ(Text(Row, TJourneyModel::cParts), C.Parts);
    EXPECT_EQ(Text(Row, TJourneyModel::cState), "DELIVRD");
    EXPECT_TRUE(Text(Row, TJourneyModel::cResponse).endsWith(" ms"));
    EXPECT_TRUE(Text(Row, TJourneyModel::cReceipt).endsWith(" ms"));
    EXPECT_EQ(Text(Row, TJourneyModel::cMessageId).count(',') + 1, C.Receipts);
    // The detail: a part per PDU, each answered and with its final receipt.
    Wb->Journey->Table->selectRow(Row);
    ASSERT_EQ(Wb->Journey->Detail->topLevelItemCount(), C.Receipts);
    EXPECT_TRUE(DetailItem("Response")->text(1).startsWith("submit_sm_resp, ESME_ROK, "));
    EXPECT_TRUE(DetailItem("Receipt")->text(1).startsWith("DELIVRD, err 000, final, "))
        << DetailItem("Receipt")->text(1).toStdString();
  }

  // scripts/screenshot asks for the README's picture of the journey here.
  if (const char* Picture = std::getenv("SMPP_JOURNEY_SCREENSHOT")) {
    QTest::keyClick(Wb->Filter, Qt::Key_J, Qt::AltModifier);
    Wb->Journey->Table->selectRow(0);
    Wb->Journey->Detail->expandAll();
    EXPECT_TRUE(Wb->grab().save(Picture, "PNG")) << Picture;
  }

  // A receipt for an id never given goes apart; Ctrl+L leaves the journey, its own Clear empties
  // it.
  ASSERT_TRUE(Smsc.send("receipt standard 5550100 1234 fedcba987"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Wb->Journey->Orphans->topLevelItemCount() == 1; }));
  EXPECT_EQ(Wb->Journey->Orphans->topLevelItem(0)->text(2), "fedcba987");
  EXPECT_EQ(Wb->Journey->OrphansLabel->text(), "Receipts that match no message: 1");
  EXPECT_EQ(Wb->Journey->DetailTabs->tabText(TJourneyView::kOrphansTab), "Unmatched: 1");
  EXPECT_EQ(Model().rowCount(), 2);
  QTest::keyClick(Wb->Filter, Qt::Key_L, Qt::ControlModifier);
  EXPECT_EQ(Model().rowCount(), 2);
  QTest::keyClick(Wb->Filter, Qt::Key_J, Qt::AltModifier);
  EXPECT_EQ(Wb->BottomTabs->currentWidget(), Wb->Journey);
  QTest::mouseClick(Wb->Journey->ClearButton, Qt::LeftButton);
  EXPECT_EQ(Model().rowCount(), 0);
  EXPECT_EQ(Wb->Journey->Orphans->topLevelItemCount(), 0);
  EXPECT_EQ(Wb->Journey->Detail->topLevelItemCount(), 0);
  QTest::keyClick(Wb->Filter, Qt::Key_R, Qt::AltModifier);
  EXPECT_EQ(Wb->BottomTabs->currentWidget(), Wb->Reports);
}

// A traffic row of a message chooses it in the journey; a part, its response or its receipt
// double-clicked selects its traffic row, unless the filter hides it.
TEST_F(JourneyTest, LinksTheJourneyAndTheTrafficBothWays) {
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  SendTwo();
  QTest::keyClick(Wb->Filter, Qt::Key_J, Qt::AltModifier);
  const struct {
    const char* Command;
    int Message;
  } Cases[] = {{"submit_sm", 0}, {"deliver_sm_resp", 0}, {"enquire_link", -1}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Command);
    const int Row = RowOf(C.Command);
    if (C.Message < 0 && Row < 0) continue;  // no keep-alive yet
    ASSERT_GE(Row, 0);
    Wb->Journey->Table->clearSelection();
    Wb->Journey->Table->setCurrentIndex({});
    ClickCell(Row, TTrafficModel::cCommand);
    EXPECT_EQ(Wb->Journey->Table->currentIndex().row(), C.Message);
  }

  Wb->Journey->Table->selectRow(1);
  const struct {
    const char* Item;
    const char* Filter;
    const char* Command;  // the traffic row selected, or the status bar's message
  } Jumps[] = {
      {"Submitted", "", "submit_sm"},
      {"Response", "", "submit_sm_resp"},
      {"Receipt", "", "deliver_sm"},
      {"Receipt", "cmd:submit", "That PDU is hidden by the filter"},
  };
  for (const auto& J : Jumps) {
    SCOPED_TRACE(std::string(J.Item) + " " + J.Filter);
    Type(Wb->Filter, J.Filter);
    Wb->Table->setCurrentIndex({});
    ASSERT_NE(DetailItem(J.Item), nullptr);
    DoubleClick(DetailItem(J.Item));
    const QModelIndex Current = Wb->Table->currentIndex();
    if (!Current.isValid()) {
      EXPECT_EQ(Wb->statusBar()->currentMessage(), QString(J.Command));
      continue;
    }
    EXPECT_EQ(Cell(Current.row(), TTrafficModel::cCommand), J.Command);
    // The row found is the short message's: it chooses the same message back.
    EXPECT_EQ(Wb->Journey->Table->currentIndex().row(), 1);
  }
}

// The requests tab acts on the message chosen in the journey: query, replace and cancel reach the
// local SMSC for that message's id (cancel refused there: the receipt was answered), and a raw
// PDU typed as hex goes with the next sequence number and is answered.
TEST_F(JourneyTest, RequestsActOnTheChosenMessage) {
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  SendTwo();
  Wb->Journey->Table->selectRow(1);
  TRequestPanel* R = Wb->Requests;
  const QString Id = Text(1, TJourneyModel::cMessageId);
  EXPECT_EQ(R->MessageId->text(), Id);
  EXPECT_EQ(R->Source->text() + " " + R->Destination->text(), "1234 5550101");
  Wb->LeftTabs->setCurrentIndex(2);
  Type(R->NewText, "new");
  R->RawHex->setPlainText("00000010 00000015\n00000000 00000000");
  EXPECT_EQ(R->RawNote->text(), "16 octets · enquire_link · command_length 16");
  R->PatchSequence->setChecked(true);
  const struct {
    QPushButton* Button;
    std::string Prefix, Part;  // the SMSC's line, or (for the raw PDU) our report line
  } Cases[] = {
      {R->QueryButton, "query_sm ", "status=0 state=2"},
      {R->ReplaceButton, "replace_sm ", "status=0 length=3 text=\"new\""},
      {R->CancelButton, "cancel_sm ", "status=17 reason=receipt_delivered"},
      {R->SendRawButton, "", ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Prefix);
    const size_t From = Smsc.mark();
    QTest::mouseClick(C.Button, Qt::LeftButton);
    if (C.Prefix.empty()) {
      const QRegularExpression Answer("enquire_link_resp seq [1-9][0-9]* ESME_ROK \\(raw PDU\\)");
      EXPECT_TRUE(QTest::qWaitFor([&] {
        return Answer.match(Wb->Reports->toPlainText()).hasMatch();
      })) << Wb->Reports->toPlainText().toStdString();
      continue;
    }
    EXPECT_TRUE(QTest::qWaitFor([&] {
      return Smsc
          .waitFor(C.Prefix, {"id=" + Id.toStdString(), C.Part}, From, std::chrono::milliseconds(0))
          .has_value();
    })) << Smsc.joinedLines();
  }
  // Without an id, query refuses before anything is sent.
  R->MessageId->clear();
  EXPECT_FALSE(R->Query());
  EXPECT_EQ(Wb->statusBar()->currentMessage(), "No query_sm: no message id");
}

// What the raw box says of the hex typed, before anything is sent.
TEST(RequestPanel, ReadsTheRawTextAsTyped) {
  const struct {
    const char* Text;
    bool Ok;
    const char* Line;
  } Cases[] = {
      {" \n", false, "Type the PDU's octets as hex pairs"},
      {"0x00 00 00 0", false, ""},
      {"00 01 02", true, "3 octets · shorter than a PDU header (16)"},
      {"00000011 80000004 00000000 00000007 00", true,
       "17 octets · submit_sm_resp · command_length 17"},
      {"000000FF 00000099 00000000 00000007", true,
       "16 octets · command 0x00000099 · command_length 255 (not the 16 octets sent)"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    std::vector<uint8_t> Bytes;
    QString Line;
    EXPECT_EQ(ReadRawPduText(C.Text, Bytes, Line), C.Ok);
    if (*C.Line) {
      EXPECT_EQ(Line, C.Line);
    }
    EXPECT_EQ(Bytes.empty(), !C.Ok);
  }
}

}  // namespace
