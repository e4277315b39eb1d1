// Composer tests: the real TWorkbench against the local SMSC on 127.0.0.1, sending with
// Ctrl+Return from the text and from a line edit (long UCS-2 text with optional parameters, a
// submit_multi, repeats and a repeat run stopped by Unbind), refusing what cannot go, and its
// settings read back.
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <cstdlib>

#include "WorkbenchFixture.h"
#include "app/workbench/ComposerPanel.h"
#include "app/workbench/JourneyModel.h"
#include "app/workbench/JourneyView.h"
#include "interop/SmscProcess.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

namespace {

std::string Json(const QVariantMap& Values) {
  return QJsonDocument(QJsonObject::fromVariantMap(Values)).toJson().toStdString();
}

class ComposerTest : public WorkbenchTest {
 protected:
  TComposerPanel* C() { return Wb->Composer; }
  // The table's open editor, or null.
  QLineEdit* Editor() {
    for (QLineEdit* E : C()->Tlvs->findChildren<QLineEdit*>())
      if (E->isVisible()) return E;
    return nullptr;
  }
  // Types Text into the editor open on the cell (opening it when none is), and leaves the cell
  // for the next unless Commit is false: moving on commits what the editor holds.
  void TypeInCell(int Row, int Column, const QString& Text, bool Commit) {
    if (!Editor()) C()->Tlvs->editItem(C()->Tlvs->item(Row, Column));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Editor() && Editor()->hasFocus(); }));
    QTest::keyClicks(Editor(), Text);
    if (!Commit) return;
    C()->Tlvs->setCurrentCell(Row, Column == 0 ? 2 : 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Editor() == nullptr; }));
  }
  // Adds a row with Add, typing the tag and the value into the table's editors; without Commit
  // the value's editor is left open.
  void AddTlv(const QString& Tag, const QString& Type, const QString& Value, bool Commit = true) {
    QTest::mouseClick(C()->AddTlv, Qt::LeftButton);
    // Add opens the tag's editor itself, once the new row is laid out.
    ASSERT_TRUE(QTest::qWaitFor([&] { return Editor() != nullptr; }));
    const int Row = C()->Tlvs->rowCount() - 1;
    TypeInCell(Row, 0, Tag, true);
    qobject_cast<QComboBox*>(C()->Tlvs->cellWidget(Row, 1))->setCurrentText(Type);
    TypeInCell(Row, 2, Value, Commit);
  }
  // The SMSC's lines from From on that start with Prefix.
  static std::vector<std::string> LinesOf(const SmscProcess& Smsc, size_t From,
                                          const char* Prefix) {
    std::vector<std::string> Out;
    const std::vector<std::string> All = Smsc.lines();
    for (size_t I = From; I < All.size(); ++I)
      if (All[I].rfind(Prefix, 0) == 0) Out.push_back(All[I]);
    return Out;
  }
};

TEST_F(ComposerTest, SendsWithCtrlReturnWhatItHolds) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  BindWithKeys(Smsc.port(), 0);
  ASSERT_TRUE(WaitForState(TPduConnection::pcTcx, "bound")) << Smsc.joinedLines();
  Wb->LeftTabs->setCurrentIndex(1);
  const struct {
    const char* Name;
    QString Text, Destinations;
    int Coding, Mode, Repeat;
    int Focus;  // Ctrl+Return in: 0 the text, 1 the destinations, 2 a parameter's value typed
    bool Tlvs;  // two optional parameters
    const char* Command;
    int Messages;  // submits the SMSC sees
    const char* DataCoding;
  } Cases[] = {
      // 150 characters and the 23 of the signature: 67 + 67 + 39 with an 8-bit UDH.
      {"UCS-2 in 3 parts", QString(150, u'Ж'), "5550100", 3, 1, 1, 0, true, "submit_sm ", 3,
       "data_coding=8"},
      {"repeat", "Hi", "5550100", 1, 1, 5, 2, true, "submit_sm ", 5, "data_coding=0"},
      {"two destinations", "Hi", "5550100 5550101", 0, 1, 1, 1, false, "submit_multi ", 1,
       "data_coding=0"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    C()->Text->setPlainText(Case.Text);
    C()->Coding->setCurrentIndex(Case.Coding);
    C()->LongMode->setCurrentIndex(Case.Mode);
    C()->Repeat->setValue(Case.Repeat);
    C()->Tlvs->setRowCount(0);
    Type(C()->Destinations, Case.Destinations);
    C()->Text->setFocus();
    if (Case.Tlvs) {
      AddTlv("user_message_reference", "int2", "7");
      AddTlv("0x1400", "hex", "ab cd", Case.Focus != 2);
    }
    const size_t Mark = Smsc.mark();
    if (Case.Focus < 2)
      (Case.Focus ? static_cast<QWidget*>(C()->Destinations) : C()->Text)->setFocus();
    QTest::keyClick(Case.Focus == 2 ? Editor() : QApplication::focusWidget(), Qt::Key_Return,
                    Qt::ControlModifier);
    EXPECT_EQ(C()->PlainText(), Case.Text);  // no new line
    ASSERT_TRUE(QTest::qWaitFor([&] { return C()->RunNote->text().startsWith("Sent"); }, 10000))
        << C()->RunNote->text().toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return int(LinesOf(Smsc, Mark, Case.Command).size()) >= Case.Messages; }, 10000))
        << Smsc.joinedLines();
    if (Case.Coding == 3) {
      // The journey follows the three parts as one message to its receipt.
      const TJourneyModel& J = Wb->Journey->Model();
      const auto Last = [&](int Column) { return J.index(J.rowCount() - 1, Column).data(); };
      EXPECT_TRUE(QTest::qWaitFor([&] { return Last(TJourneyModel::cState) == "DELIVRD"; }))
          << Last(TJourneyModel::cState).toString().toStdString();
      EXPECT_EQ(Last(TJourneyModel::cParts), "3");
      Wb->BottomTabs->setCurrentWidget(Wb->Journey);
      Wb->Journey->Table->selectRow(J.rowCount() - 1);
      if (const char* Picture = std::getenv("SMPP_COMPOSER_SCREENSHOT")) {
        EXPECT_TRUE(Wb->grab().save(Picture, "PNG")) << Picture;
      }
    }
    const std::vector<std::string> Submits = LinesOf(Smsc, Mark, Case.Command);
    EXPECT_EQ(int(Submits.size()), Case.Messages);
    EXPECT_EQ(Wb->statusBar()->currentMessage(),
              Case.Repeat == 1 ? QString("Sent 1 message")
                               : QString("Sent %1 messages").arg(Case.Repeat));
    for (const std::string& S : Submits) {
      EXPECT_NE(S.find(Case.DataCoding), std::string::npos) << S;
      if (!Case.Tlvs) continue;
      // Each part carries both parameters, after the UDH's own.
      const std::string Seq = " seq=" + SmscProcess::field(S, "seq") + " ";
      std::string Found;
      for (const std::string& T : LinesOf(Smsc, Mark, "tlv "))
        if (T.find(Seq) != std::string::npos) Found += T.substr(T.find("tag=")) + ";";
      EXPECT_EQ(Found,
                "tag=0x0204 name=user_message_reference length=2 value=0x0007;"
                "tag=0x1400 name=unknown length=2 value=0xabcd;");
    }
  }

  // A long run stops at Unbind and says how many went; the SMSC saw that many.
  C()->Text->setPlainText("Hi");
  C()->Destinations->setText("5550100");
  C()->Repeat->setValue(TComposerPanel::kMaxRepeat);
  const size_t Mark = Smsc.mark();
  QTest::mouseClick(C()->SendButton, Qt::LeftButton);
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return LinesOf(Smsc, Mark, "submit_sm ").size() >= 10; }, 10000));
  QTest::keyClick(C()->Destinations, Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return C()->RunNote->text().startsWith("Stopped"); }, 10000))
      << C()->RunNote->text().toStdString();
  // The transmitter's unbind comes after every submit it sent (the receiver's comes first).
  ASSERT_TRUE(QTest::qWaitFor([&] { return LinesOf(Smsc, Mark, "unbind ").size() == 2; }, 60000));
  const QString Went = QString("Stopped after %L1 of %L2 messages")
                           .arg(LinesOf(Smsc, Mark, "submit_sm ").size())
                           .arg(TComposerPanel::kMaxRepeat);
  EXPECT_EQ(C()->RunNote->text(), Went);
}

TEST_F(ComposerTest, RefusesWhatCannotGoAndPostsNothing) {
  const struct {
    const char* Name;
    QString Text;
    int Coding;
    const char* Tlv;  // tag of a row with value 1 as int1, or none
    std::vector<std::pair<int, int>> Marks;
    QString Said;
  } Cases[] = {
      {"not in Latin-1",
       "€ 😀",
       2,
       nullptr,
       {{0, 1}, {2, 2}},
       "Not sent: the text cannot be sent: character 1 of the text (U+20AC \"€\") does not fit "
       "Latin-1"},
      {"not in GSM",
       "aПb",
       1,
       nullptr,
       {{1, 1}},
       "Not sent: the text cannot be sent: character 2 "
       "of the text (U+041F \"П\") does not fit the GSM "
       "alphabet"},
      {"bad parameter",
       "Hi",
       0,
       "nosuchtag",
       {},
       "Not sent: optional parameter Row 1: tag 'nosuchtag' is neither a number from 0 to 65535 "
       "nor a name SMPP "
       "3.4 defines"},
      {"not bound", "Hi", 0, "0x1400", {}, "Not sent: not bound"},
  };
  Wb->LeftTabs->setCurrentIndex(1);
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    C()->Tlvs->setRowCount(0);
    C()->Coding->setCurrentIndex(Case.Coding);
    C()->Text->setPlainText(Case.Text);
    if (Case.Tlv) AddTlv(Case.Tlv, "int1", "1");
    std::vector<std::pair<int, int>> Marks;
    for (const QTextEdit::ExtraSelection& S : C()->Text->extraSelections())
      Marks.push_back(
          {S.cursor.selectionStart(), S.cursor.selectionEnd() - S.cursor.selectionStart()});
    EXPECT_EQ(Marks, Case.Marks);
    EXPECT_EQ(C()->TlvNote->text().isEmpty(), !Case.Said.contains("parameter"));
    C()->Text->setFocus();
    QTest::keyClick(C()->Text, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(Wb->statusBar()->currentMessage().toStdString(), Case.Said.toStdString());
    EXPECT_EQ(Wb->Runner().Busy(), 0);
    EXPECT_TRUE(C()->RunNote->text().isEmpty());
  }
}

TEST_F(ComposerTest, SettingsReadBackAndUnreadableValuesGiveDefaults) {
  const QVariantMap Defaults = C()->Settings();
  QVariantMap Set = Defaults;
  const QVariantMap Changes = {
      {"source", "Shop"},
      {"source_ton", 5},
      {"source_npi", 0},
      {"destinations", "1, 2 3"},
      {"dest_ton", 2},
      {"dest_npi", 9},
      {"text", "a\nb\u00a0c"},
      {"coding", "ucs2"},
      {"long_mode", "sar"},
      {"registered_delivery", 17},
      {"validity_kind", "relative"},
      {"validity_days", 3},
      {"validity_time", "04:05:00"},
      {"schedule_kind", "absolute"},
      {"schedule_at", "2030-01-02T03:04:05"},
      {"priority", 3},
      {"protocol_id", 64},
      {"service_type", "CMT"},
      {"repeat", 250},
      {"tlvs", QVariantList{QVariantMap{{"tag", "0x1400"}, {"type", "str"}, {"value", "x"}}}},
  };
  for (auto It = Changes.begin(); It != Changes.end(); ++It) Set[It.key()] = It.value();
  C()->ApplySettings(Set);
  EXPECT_EQ(Json(C()->Settings()), Json(Set));
  QVariantMap Bad = {{"source_ton", 300},          {"coding", "klingon"}, {"priority", "x"},
                     {"validity_kind", "someday"}, {"repeat", 0},         {"tlvs", "none"},
                     {"registered_delivery", -1}};
  C()->ApplySettings(Bad);
  QVariantMap Read = C()->Settings();
  // The dates and times of an absolute schedule or validity default to an hour from now.
  QVariantMap Expected = Defaults;
  for (const char* Key : {"schedule_at", "validity_at"}) {
    Read.remove(Key);
    Expected.remove(Key);
  }
  EXPECT_EQ(Json(Read), Json(Expected));
}

}  // namespace
