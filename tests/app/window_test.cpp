// Window tests: the real TForm1 in an X server of its own, driven by key and mouse clicks, against
// the local SMSC on 127.0.0.1. No test presses Bind while Host holds the form's default address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QClipboard>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RefusedPort.h"
#include "app/Form1.h"
#include "app/Options.h"
#include "app/ReportLog.h"
#include "base/FormText.h"
#include "gtest/gtest.h"
#include "interop/SmscProcess.h"
#include "net/IcsSocket.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

// Qt's texts in a failure's message: their characters, not their bytes.
void PrintTo(const QString& S, std::ostream* Os) {
  *Os << '"' << S.toStdString() << '"';
}

namespace {

// The memo's lines: its text is each line followed by a line break.
QStringList Lines(const TForm1& Form) {
  QStringList L = Form.Memo1->toPlainText().split(u'\n');
  L.removeLast();
  return L;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = std::make_unique<TForm1>();
    Form->show();
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  }
  void TearDown() override { Form.reset(); }

  // Replaces the text of Edit as a user does: click, select all, type.
  static void Type(QLineEdit* Edit, const QString& Text) {
    QTest::mouseClick(Edit, Qt::LeftButton);
    QTest::keyClick(Edit, Qt::Key_A, Qt::ControlModifier);
    if (Text.isEmpty())
      QTest::keyClick(Edit, Qt::Key_Delete);
    else
      QTest::keyClicks(Edit, Text);
  }
  static void Click(QPushButton* Button) { QTest::mouseClick(Button, Qt::LeftButton); }

  // Points the window at Port on 127.0.0.1.
  void Target(uint16_t Port) {
    Type(Form->Edit4, "127.0.0.1");
    Type(Form->Edit5, QString::number(Port));
  }

  // Waits, serving the event loop, until the memo holds Count lines or more.
  bool WaitForLineCount(qsizetype Count, int TimeoutMs = 10000) {
    return QTest::qWaitFor([&] { return Lines(*Form).size() >= Count; }, TimeoutMs);
  }
  bool WaitForLine(const QString& Line, int TimeoutMs = 10000) {
    return QTest::qWaitFor([&] { return Lines(*Form).contains(Line); }, TimeoutMs);
  }
  // Serves the event loop until every queued line is in the memo.
  void Drain() {
    EXPECT_TRUE(QTest::qWaitFor([&] { return Form->MemoFeed().Pending() == 0; }, 5000));
    QTest::qWait(0);
  }

  std::unique_ptr<TForm1> Form;
};

TEST_F(WindowTest, ShowsTheFormOfItsResource) {
  EXPECT_EQ(Form->windowTitle(), "Form1");
  EXPECT_EQ(Form->pos(), QPoint(192, 117));
  EXPECT_EQ(Form->size(), QSize(587, 480));
  EXPECT_EQ(QApplication::focusWidget(), Form->Button1);
  const struct {
    QWidget* Control;
    QRect Geometry;
    QString Text;
  } Controls[] = {
      {Form->Memo1, {0, 0, 587, 305}, ""},
      {Form->Button1, {488, 320, 75, 25}, "Bind"},
      {Form->Button2, {424, 435, 75, 25}, "Send"},
      {Form->Button3, {488, 354, 75, 25}, "Unbind"},
      {Form->Edit1, {280, 435, 121, 25}, "15555550100"},
      {Form->Edit2, {360, 320, 100, 25}, "myuid"},
      {Form->Label1, {288, 328, 57, 17}, "User ID :"},
      {Form->Label2, {288, 357, 64, 17}, "Password"},
      {Form->Edit3, {360, 352, 100, 25}, "qvxjk"},
      {Form->Edit4, {144, 320, 100, 25}, "192.168.1.100"},
      {Form->Label3, {64, 328, 37, 17}, "Host :"},
      {Form->Label4, {64, 357, 26, 17}, "Port"},
      {Form->Edit5, {144, 352, 100, 25}, "1010"},
      {Form->Label5, {64, 389, 79, 17}, "SystemType"},
      {Form->Edit6, {144, 384, 100, 25}, "tcp"},
      {Form->Label6, {168, 440, 100, 17}, "Phone number :"},
  };
  for (const auto& C : Controls) {
    SCOPED_TRACE(C.Control->objectName().toStdString());
    EXPECT_EQ(C.Control->geometry(), C.Geometry);
    QString Text;
    if (auto* B = qobject_cast<QPushButton*>(C.Control)) Text = B->text();
    if (auto* E = qobject_cast<QLineEdit*>(C.Control)) Text = E->text();
    if (auto* L = qobject_cast<QLabel*>(C.Control)) Text = L->text();
    if (auto* M = qobject_cast<QPlainTextEdit*>(C.Control)) Text = M->toPlainText();
    EXPECT_EQ(Text, C.Text);
  }
  // Tab walks the controls by their tab order, the labels left out.
  QStringList Walk;
  for (int I = 0; I < 10; ++I) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    Walk << QApplication::focusWidget()->objectName();
  }
  EXPECT_EQ(Walk.join(' ').toStdString(),
            "Memo1 Button2 Button3 Edit1 Edit2 Edit3 Edit4 Edit5 Edit6 Button1");
  // The default host is a private-network address, the default number has 11 digits.
  EXPECT_TRUE(QRegularExpression(R"(^192\.168\.\d+\.\d+$)").match(Form->Edit4->text()).hasMatch());
  EXPECT_TRUE(QRegularExpression(R"(^\d{11}$)").match(Form->Edit1->text()).hasMatch());

  // What the live form writes back is its resource (comments aside): every control's values and
  // SmppClient1's stored settings and handlers.
  std::string Resource;
  for (const QString& L : QString::fromStdString(std::string(TForm1::Resource())).split(u'\n'))
    if (!L.startsWith('#') && !L.isEmpty()) Resource += L.toStdString() + "\n";
  EXPECT_EQ(WriteFormText(*Form), Resource);
  TSMPPClientInfo& Info = Form->SmppClient1->ClientInfo();
  EXPECT_EQ(Info.Host(), Form->Edit4->text().toStdString());
  EXPECT_EQ(Info.Port(), 3389);
  EXPECT_EQ(Info.UserID(), "myuid");
  EXPECT_EQ(Info.Password().size(), 1u);
  EXPECT_EQ(Info.SystemType(), "tcp");
  EXPECT_EQ(Form->SmppClient1->Rcx().rcxTimerInterval(), 15);
  EXPECT_EQ(Form->SmppClient1->Tcx().tcxIdle(), 5);
  EXPECT_EQ(Form->SmppClient1->Owner(), static_cast<TComponent*>(Form.get()));

  // The memo stays aligned to the top at the form's full width; below the scroll ranges
  // (563 x 460) the form scrolls.
  Form->resize(700, 500);
  EXPECT_EQ(Form->Memo1->geometry(), QRect(0, 0, 700, 305));
  auto* Scroll = Form->findChild<QScrollArea*>();
  ASSERT_NE(Scroll, nullptr);
  EXPECT_FALSE(Scroll->horizontalScrollBar()->isVisible() ||
               Scroll->verticalScrollBar()->isVisible());
  Form->resize(500, 400);
  QTest::qWait(0);
  EXPECT_EQ(Scroll->horizontalScrollBar()->maximum(), 563 - Scroll->viewport()->width());
  EXPECT_EQ(Scroll->verticalScrollBar()->maximum(), 460 - Scroll->viewport()->height());
  EXPECT_EQ(Form->Memo1->width(), 563);
}

TEST_F(WindowTest, BindSendAndUnbindAgainstTheLocalSmsc) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  Target(Smsc.port());
  Type(Form->Edit2, "winuser");
  Type(Form->Edit3, "pw42");
  Type(Form->Edit6, "systy");
  Type(Form->Edit1, "49151123456");
  Click(Form->Button1);
  ASSERT_TRUE(WaitForLine("bind Rcx OK") && WaitForLine("bind Tcx OK")) << Smsc.joinedLines();
  for (const char* Bind : {"bind_receiver", "bind_transmitter"}) {
    SCOPED_TRACE(Bind);
    EXPECT_TRUE(Smsc.waitFor(Bind, {"system_id=winuser", "password=pw42", "system_type=systy"}));
  }
  QStringList L = Lines(*Form);
  EXPECT_LT(L.indexOf("Rcx Connected."), L.indexOf("bind Rcx OK"));
  EXPECT_LT(L.indexOf("Tcx Connected."), L.indexOf("bind Tcx OK"));
  EXPECT_EQ(L.size(), 4);

  Click(Form->Button2);
  auto Submit = Smsc.waitFor("submit_sm", {"dst=49151123456", "src=1234", "text=\"Hello  SMPP"});
  ASSERT_TRUE(Submit) << Smsc.joinedLines();
  EXPECT_TRUE(
      WaitForLine("+IN_QUEUE ID=" + QString::fromStdString(SmscProcess::field(*Submit, "id"))));
  // The receipt of the submit comes on the other connection, so before or after the answer's
  // line; then the window is idle.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !Lines(*Form).filter(QRegularExpression("^\\+QUERY_RES ")).isEmpty(); }, 10000))
      << Lines(*Form).join('|').toStdString();
  // scripts/screenshot asks for the README's picture of the window at this point.
  if (const char* Picture = std::getenv("SMPP_SCREENSHOT")) {
    Drain();
    EXPECT_TRUE(Form->grab().save(Picture, "PNG")) << Picture;
  }

  // An MO message while idle: one new last line. Two enquire_link_resp (one per connection):
  // two empty lines. A burst: every line, in order.
  struct {
    const char* Command;
    const char* Answered;
    QStringList Expected;
  } Cases[] = {
      {"deliver 5550001 1234 Hi there", "deliver_sm_resp", {"+DELIVER *:5550001:1234:Hi there"}},
      {"raw 00000010800000150000000000000063", "sent raw", {"", ""}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Command);
    const qsizetype Before = Lines(*Form).size();
    const size_t Mark = Smsc.mark();
    ASSERT_TRUE(Smsc.send(C.Command));
    ASSERT_TRUE(Smsc.waitFor(C.Answered, {}, Mark));
    ASSERT_TRUE(WaitForLineCount(Before + C.Expected.size()));
    QTest::qWait(200);  // a quiet spell: no further line may follow
    Drain();
    const QStringList New = Lines(*Form).mid(Before);
    ASSERT_EQ(New.size(), C.Expected.size()) << New.join('|').toStdString();
    for (qsizetype I = 0; I < New.size(); ++I) {
      const QRegularExpression Pattern(
          QRegularExpression::wildcardToRegularExpression(C.Expected[I]));
      EXPECT_TRUE(Pattern.match(New[I]).hasMatch()) << New[I].toStdString();
    }
  }
  {
    const qsizetype Before = Lines(*Form).size();
    ASSERT_TRUE(Smsc.send("burst 3000 777 1234"));
    ASSERT_TRUE(WaitForLineCount(Before + 3000, 30000));
    const QStringList New = Lines(*Form).mid(Before);
    for (int I = 0; I < 3000; ++I)
      ASSERT_TRUE(New[I].endsWith(":777:1234:burst " + QString::number(I + 1))) << I;
  }

  // Unbind: each connection reports its unbind_resp during the wait, then Disconnect reports both.
  const qsizetype Before = Lines(*Form).size();
  Click(Form->Button3);
  Drain();
  const QStringList After = Lines(*Form).mid(Before);
  EXPECT_EQ(After.count("rcx disconnected"), 2) << After.join('|').toStdString();
  EXPECT_EQ(After.count("tcx disconnected"), 2);
  ASSERT_EQ(After.size(), 4);
  EXPECT_EQ(After.mid(2), QStringList({"rcx disconnected", "tcx disconnected"}));
  EXPECT_TRUE(Smsc.waitFor("unbind", {}));
}

TEST_F(WindowTest, ReportsWithoutBindOrWithARefusedPort) {
  // Send before Bind: nothing.
  Click(Form->Button2);
  QTest::qWait(300);
  EXPECT_TRUE(Lines(*Form).isEmpty());
  // Unbind before Bind: both lines after the 2-second wait.
  const auto Start = std::chrono::steady_clock::now();
  Click(Form->Button3);
  EXPECT_GE(std::chrono::steady_clock::now() - Start, 1900ms);
  Drain();
  EXPECT_EQ(Lines(*Form), QStringList({"rcx disconnected", "tcx disconnected"}));
  // A refused port: the retry lines, again and again.
  Target(RefusedPort());
  Click(Form->Button1);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const QStringList L = Lines(*Form);
        return L.count("Rcx try Connect in 5 sec") >= 2 && L.count("Tcx try Connect in 5 sec") >= 2;
      },
      15000))
      << Lines(*Form).join('|').toStdString();
}

TEST_F(WindowTest, ABadPortTextIsShownAndConnectsNothing) {
  for (const QString& Port : {QString("10x10"), QString(""), QString("99999999999")}) {
    SCOPED_TRACE(Port.toStdString());
    Type(Form->Edit4, "127.0.0.7");
    Type(Form->Edit5, Port);
    Type(Form->Edit2, "other");
    QString Shown;
    QTimer::singleShot(0, [&] {
      // A box that never shows leaves Shown empty, which the check below reports.
      (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
      if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Shown = Box->text();
        Box->accept();
      }
    });
    Click(Form->Button1);
    EXPECT_EQ(Shown, "'" + Port + "' is not a valid integer value");
    TSMPPClientInfo& Info = Form->SmppClient1->ClientInfo();
    EXPECT_EQ(Info.Host(), "127.0.0.7");
    EXPECT_EQ(Info.Port(), 3389);
    EXPECT_EQ(Info.UserID(), "myuid");
    EXPECT_EQ(Form->SmppClient1->Rcx().Socket()->State(), wsClosed);
    EXPECT_EQ(Form->SmppClient1->Tcx().Socket()->State(), wsClosed);
  }
  QTest::qWait(200);
  EXPECT_TRUE(Lines(*Form).isEmpty());
}

TEST_F(WindowTest, ClosingEndsPromptlyWhateverTheConnectionsDo) {
  SmscProcess Smsc;
  ASSERT_TRUE(Smsc.start()) << Smsc.error();
  enum { Bound, Reconnecting, Unbound, Reporting };
  for (int State : {Bound, Reconnecting, Unbound, Reporting}) {
    SCOPED_TRACE(State == Bound          ? "bound"
                 : State == Reconnecting ? "reconnecting"
                 : State == Unbound      ? "unbound"
                                         : "reporting");
    if (!Form) SetUp();
    // Reporting: the transmitter's first notification (its failed connect) is still running when
    // the window closes, and reaches the window's handler only once the client is being destroyed.
    std::atomic<bool> Held{false};
    if (State == Reporting) {
      TForm1* F = Form.get();
      F->SmppClient1->SetTcxOnData([F, &Held](TSmppClient* Sender) {
        if (!Held.exchange(true))
          while (!Sender->IsDestroying()) std::this_thread::yield();
        F->SmppClient1TcxOnData(Sender);
      });
    }
    Target(State == Reconnecting || State == Reporting ? RefusedPort() : Smsc.port());
    Click(Form->Button1);
    if (State == Reporting)
      ASSERT_TRUE(QTest::qWaitFor([&] { return Held.load(); }, 10000));
    else if (State == Reconnecting)
      ASSERT_TRUE(WaitForLine("Rcx try Connect in 5 sec") &&
                  WaitForLine("Tcx try Connect in 5 sec"));
    else
      ASSERT_TRUE(WaitForLine("bind Rcx OK") && WaitForLine("bind Tcx OK"));
    if (State == Unbound) Click(Form->Button3);
    const size_t Mark = Smsc.mark();
    const auto Start = std::chrono::steady_clock::now();
    Form->close();
    Form.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 2s);
    if (State == Bound) {
      // Both sessions end with the window.
      size_t First = 0;
      const auto Close = [](const std::string& L) { return L.rfind("close ", 0) == 0; };
      ASSERT_TRUE(Smsc.waitFor(Close, 10s, Mark, &First) && Smsc.waitFor(Close, 10s, First + 1));
    }
    // Nothing of the client runs on: no connection comes back.
    QTest::qWait(300);
    EXPECT_FALSE(Smsc.waitFor("connect", {}, Mark, 0ms));
  }
}

// The program's options fill the Host and Port edits as typed; anything else is refused.
TEST_F(WindowTest, OptionsFillHostAndPort) {
  const struct {
    std::vector<const char*> Args;
    bool Ok;
    QString Host, Port;
  } Cases[] = {
      {{}, true, "192.168.1.100", "1010"},
      {{"--host", "127.0.0.1", "--port", "2775"}, true, "127.0.0.1", "2775"},
      {{"--port=x9", "--host=localhost"}, true, "localhost", "x9"},
      {{"--port"}, false, "", ""},
      {{"--hostname", "a"}, false, "", ""},
  };
  for (const auto& C : Cases) {
    std::vector<const char*> Argv = {"smppwin"};
    Argv.insert(Argv.end(), C.Args.begin(), C.Args.end());
    SCOPED_TRACE(QStringList(Argv.begin(), Argv.end()).join(' ').toStdString());
    TOptions O;
    std::string Error;
    ASSERT_EQ(ParseOptions(static_cast<int>(Argv.size()), Argv.data(), O, Error), C.Ok) << Error;
    if (!C.Ok) continue;
    TForm1 Fresh;
    ApplyOptions(Fresh, O);
    EXPECT_EQ(Fresh.Edit4->text(), C.Host);
    EXPECT_EQ(Fresh.Edit5->text(), C.Port);
  }
  TOptions O;
  std::string Error;
  const char* Help[] = {"smppwin", "--help"};
  EXPECT_TRUE(ParseOptions(2, Help, O, Error) && O.Help);
}

// The TLS options reach SmppClient1's settings; the form's controls stay as they are.
TEST_F(WindowTest, TlsOptionsSetTheClientsTlsSettings) {
  const struct {
    std::vector<const char*> Args;
    bool Ok, Tls, Verify;
    const char* CA;
  } Cases[] = {
      {{}, true, false, true, ""},
      {{"--tls"}, true, true, true, ""},
      {{"--tls", "--tls-ca", "/etc/ca.pem"}, true, true, true, "/etc/ca.pem"},
      {{"--tls-insecure", "--tls"}, true, true, false, ""},
      {{"--tls-ca=/etc/ca.pem"}, false, false, true, ""},
      {{"--tls", "--tls-ca"}, false, false, true, ""},
  };
  for (const auto& C : Cases) {
    std::vector<const char*> Argv = {"smppwin"};
    Argv.insert(Argv.end(), C.Args.begin(), C.Args.end());
    SCOPED_TRACE(QStringList(Argv.begin(), Argv.end()).join(' ').toStdString());
    TOptions O;
    std::string Error;
    ASSERT_EQ(ParseOptions(static_cast<int>(Argv.size()), Argv.data(), O, Error), C.Ok) << Error;
    if (!C.Ok) continue;
    TForm1 Fresh;
    ApplyOptions(Fresh, O);
    const TSMPPClientInfo& Info = Fresh.SmppClient1->ClientInfo();
    EXPECT_EQ(Info.UseTLS(), C.Tls);
    EXPECT_EQ(Info.TLSVerifyPeer(), C.Verify);
    EXPECT_EQ(Info.TLSCAFile(), C.CA);
    EXPECT_EQ(Fresh.Edit4->text(), "192.168.1.100");
  }
}

// What reaches the memo, and the clipboard from it: one escaped line per report, whatever the text
// holds.
TEST_F(WindowTest, ShowsEachReportAsOneEscapedLine) {
  using namespace std::string_literals;
  const struct {
    const char* Typed;  // what the memo held before
    std::vector<std::string> Reports;
    QStringList Lines;
  } Cases[] = {
      {"", {"", "a"}, {"", "a"}},
      {"", {"two\nlines\r"}, {"two\\nlines\\r"}},
      {"",
       {"+DELIVER *:1:2:\x1b[2J@\0"s, "caf\xe9 \u2029 \u00e9"},
       {"+DELIVER *:1:2:\\x1b[2J@\\x00", "caf\\xe9 \\xe2\\x80\\xa9 \u00e9"}},
      {"typed", {"next"}, {"typed", "next"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Lines.join('|').toStdString());
    Form->Memo1->setPlainText(C.Typed);
    for (const std::string& R : C.Reports) Form->MemoFeed().Add(R);
    Form->MemoFeed().FlushAll();
    EXPECT_EQ(Lines(*Form), C.Lines);
    Form->Memo1->selectAll();
    Form->Memo1->copy();
    EXPECT_EQ(QApplication::clipboard()->text(), C.Lines.join('\n') + '\n');
  }
}

// The memo keeps its newest lines under one notice line that counts the others; the log keeps
// every line, escaped, with its local time, also the lines still queued when the window closes.
TEST_F(WindowTest, KeepsTheNewestLinesAndLogsEveryLine) {
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("reports.log");
  std::string Error;
  auto Log = TReportLog::Open(Path.toStdString(), Error);
  ASSERT_TRUE(Log) << Error;
  TMemoFeed& Feed = Form->MemoFeed();
  Feed.SetLog(std::move(Log));
  Feed.SetMemoLines(3);
  const auto Notice = [&](int N) {
    return QString("(%1 older line%2 removed from this view; every line is in %3)")
        .arg(N)
        .arg(N == 1 ? "" : "s")
        .arg(Path);
  };
  int Added = 0;
  const struct {
    int Add;  // lines "line N"; a line feed in the last of them
    QStringList Lines;
  } Steps[] = {
      {3, {"line 1", "line 2", "line\\n3"}},  // at the limit: no notice yet
      {1, {Notice(1), "line 2", "line\\n3", "line\\n4"}},
      {1200, {Notice(1201), "line 1202", "line 1203", "line\\n1204"}},  // several batches
  };
  for (const auto& S : Steps) {
    SCOPED_TRACE(Added);
    for (int I = 0; I < S.Add; ++I)
      Feed.Add("line" + std::string(I + 1 == S.Add ? "\n" : " ") + std::to_string(++Added));
    Feed.FlushAll();
    EXPECT_EQ(Lines(*Form), S.Lines);
  }
  Feed.Add("queued at close");
  Form.reset();

  QFile File(Path);
  ASSERT_TRUE(File.open(QIODevice::ReadOnly));
  const QStringList Logged = QString::fromUtf8(File.readAll()).split('\n');
  ASSERT_EQ(Logged.size(), Added + 2);  // and the empty text after the last line feed
  const QRegularExpression Stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
  for (int I = 0; I <= Added; ++I) {
    const QString Text = I == Added                           ? "queued at close"
                         : I == 2 || I == 3 || I == Added - 1 ? QString("line\\n%1").arg(I + 1)
                                                              : QString("line %1").arg(I + 1);
    ASSERT_TRUE(Stamp.match(Logged[I]).hasMatch()) << Logged[I].toStdString();
    ASSERT_EQ(Logged[I].mid(24), Text);
  }
}

// The program: a log file that cannot be opened is refused at start, before any display is needed,
// like a bad option; --help names the option.
TEST(SmppwinProgram, RefusesALogFileItCannotOpen) {
  const struct {
    QStringList Args;
    int Status;
    QString Output;
  } Cases[] = {
      {{"--log", "/nonexistent-dir/r.log"},
       2,
       "smppwin: cannot open the log file '/nonexistent-dir/r.log': No such file or directory\n"},
      {{"--help"}, 0, "  --log FILE      append every report line, with its local time, to FILE\n"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Args.join(' ').toStdString());
    QProcess P;
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.remove("DISPLAY");
    P.setProcessEnvironment(Env);
    P.start(SMPPWIN, C.Args);
    ASSERT_TRUE(P.waitForFinished(10000));
    EXPECT_EQ(P.exitCode(), C.Status);
    EXPECT_TRUE(QString(P.readAllStandardError() + P.readAllStandardOutput()).contains(C.Output));
  }
}

}  // namespace
