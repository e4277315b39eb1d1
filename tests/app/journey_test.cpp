// Journey tests: the workbench bound to the local SMSC on 127.0.0.1 follows a long and a short
// message to their receipts, lists a receipt of an unknown id apart, and links the journey and the
// traffic table both ways; its tab and its Clear, apart from the table's.
#include <QAbstractItemModelTester>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdlib>

#include "WorkbenchFixture.h"
#include "app/workbench/JourneyView.h"
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

}  // namespace
