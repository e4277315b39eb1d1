// TForm1: the controls and their stored properties, reading the form resource, the handlers.
#include "app/Form1.h"

#include <QApplication>
#include <QMessageBox>
#include <QResizeEvent>
#include <QScrollArea>
#include <algorithm>
#include <charconv>

#include "base/FormText.h"

namespace {

std::string ToText(const QString& S) {
  return S.toLocal8Bit().toStdString();
}
QString FromText(const std::string& S) {
  return QString::fromLocal8Bit(S.data(), static_cast<qsizetype>(S.size()));
}

}  // namespace

int32_t StrToInt(const QString& Text) {
  const std::string S = ToText(Text);
  size_t I = 0;
  while (I < S.size() && (S[I] == ' ' || S[I] == '\t')) ++I;
  if (I < S.size() && S[I] == '+') ++I;
  int32_t Value = 0;
  const char* First = S.data() + I;
  const char* Last = S.data() + S.size();
  // from_chars takes a '-' but no '+'; "+-5" must still fail.
  const bool Signed = I > 0 && S[I - 1] == '+';
  auto [Ptr, Ec] = std::from_chars(First, Last, Value);
  if (First == Last || Ec != std::errc() || Ptr != Last || (Signed && *First == '-'))
    throw EConvertError("'" + S + "' is not a valid integer value");
  return Value;
}

// ---------------------------------------------------------------------------------------------
// Stored properties of the form's parts.

// One control on the form: its geometry and, by kind, its caption or text, tab order, alignment
// and click handler.
class TForm1::TControlProps : public TPersistent {
 public:
  enum class TKind { Button, Edit, Memo, Label };

  TControlProps(TForm1& Form, std::string Name, QWidget* Widget, TKind Kind)
      : Form(Form), Name(std::move(Name)), Widget(Widget), Kind(Kind) {}

  void PublishProperties(TPublishedProperties& P) override {
    P.Integer(
        "Left", [this] { return Widget->x(); },
        [this](int32_t V) { Widget->move(V, Widget->y()); });
    P.Integer(
        "Top", [this] { return Widget->y(); }, [this](int32_t V) { Widget->move(Widget->x(), V); });
    P.Integer(
        "Width", [this] { return Widget->width(); },
        [this](int32_t V) { Widget->resize(V, Widget->height()); });
    P.Integer(
        "Height", [this] { return Widget->height(); },
        [this](int32_t V) { Widget->resize(Widget->width(), V); });
    if (Kind == TKind::Memo) {
      P.Ident(
          "Align", [this] { return Align; },
          [this](const std::string& V) {
            if (V != "alNone" && V != "alTop") throw std::invalid_argument("unknown Align " + V);
            Align = V;
          },
          "alNone");
    }
    if (Kind == TKind::Button || Kind == TKind::Label) {
      P.Text(
          "Caption",
          [this] {
            if (Kind == TKind::Button) return ToText(static_cast<QPushButton*>(Widget)->text());
            return ToText(static_cast<QLabel*>(Widget)->text());
          },
          [this](const std::string& V) {
            if (Kind == TKind::Button)
              static_cast<QPushButton*>(Widget)->setText(FromText(V));
            else
              static_cast<QLabel*>(Widget)->setText(FromText(V));
          });
    }
    if (Kind != TKind::Label) P.Integer("TabOrder", TabOrder, -1);
    if (Kind == TKind::Edit) {
      auto* Edit = static_cast<QLineEdit*>(Widget);
      P.Text(
          "Text", [Edit] { return ToText(Edit->text()); },
          [Edit](const std::string& V) { Edit->setText(FromText(V)); });
    }
    if (Kind == TKind::Button) {
      P.Ident(
          "OnClick", [this] { return OnClick; },
          [this](const std::string& V) {
            TClickHandler Handler = FindClickHandler(V);
            if (!Handler) throw std::invalid_argument("the form has no click handler " + V);
            QObject::disconnect(Connection);
            Connection =
                QObject::connect(static_cast<QPushButton*>(Widget), &QPushButton::clicked, &Form,
                                 [F = &Form, Handler] { F->RunClickHandler(Handler); });
            OnClick = V;
          },
          "");
    }
  }

  TForm1& Form;
  const std::string Name;
  QWidget* const Widget;
  const TKind Kind;
  int32_t TabOrder = -1;
  std::string Align = "alNone";
  std::string OnClick;
  QMetaObject::Connection Connection;
};

// SmppClient1 as the form stores it: its place on the form at design time, its settings and
// connection objects, and the form's handlers of its two notifications.
class TForm1::TClientProps : public TPersistent {
 public:
  explicit TClientProps(TForm1& Form) : Form(Form) {}

  void PublishProperties(TPublishedProperties& P) override {
    P.Integer("Left", Left);
    P.Integer("Top", Top);
    TSmppClient& C = *Form.SmppClient1;
    P.Object("ClientInfo", C.ClientInfo());
    P.Object("Rcx", C.Rcx());
    P.Object("Tcx", C.Tcx());
    P.Ident(
        "RcxOnData", [this] { return RcxOnData; },
        [this](const std::string& V) {
          TNotifyHandler Handler = Need(V);
          TForm1* F = &Form;
          F->SmppClient1->SetRcxOnData([F, Handler](TSmppClient* S) { (F->*Handler)(S); });
          RcxOnData = V;
        },
        "");
    P.Ident(
        "TcxOnData", [this] { return TcxOnData; },
        [this](const std::string& V) {
          TNotifyHandler Handler = Need(V);
          TForm1* F = &Form;
          F->SmppClient1->SetTcxOnData([F, Handler](TSmppClient* S) { (F->*Handler)(S); });
          TcxOnData = V;
        },
        "");
  }

  static TNotifyHandler Need(const std::string& Name) {
    TNotifyHandler Handler = FindNotifyHandler(Name);
    if (!Handler) throw std::invalid_argument("the form has no notification handler " + Name);
    return Handler;
  }

  TForm1& Form;
  int32_t Left = 0;
  int32_t Top = 0;
  std::string RcxOnData, TcxOnData;
};

// The range over which a form scrolls along one axis.
class TForm1::TScrollBarProps : public TPersistent {
 public:
  void PublishProperties(TPublishedProperties& P) override { P.Integer("Range", Range, 0); }
  int32_t Range = 0;
};

// ---------------------------------------------------------------------------------------------
// The form.

TForm1::TForm1(QWidget* Parent)
    : QWidget(Parent),
      TComponent(nullptr),
      Button1(new QPushButton(this)),
      SmppClient1(std::make_unique<TSmppClient>(this)),
      Memo1(new QPlainTextEdit(this)),
      Button2(new QPushButton(this)),
      Button3(new QPushButton(this)),
      Edit1(new QLineEdit(this)),
      Edit2(new QLineEdit(this)),
      Label1(new QLabel(this)),
      Label2(new QLabel(this)),
      Edit3(new QLineEdit(this)),
      Edit4(new QLineEdit(this)),
      Label3(new QLabel(this)),
      Label4(new QLabel(this)),
      Edit5(new QLineEdit(this)),
      Label5(new QLabel(this)),
      Edit6(new QLineEdit(this)),
      Label6(new QLabel(this)),
      FMemoFeed(std::make_unique<TMemoFeed>(Memo1)),
      FHorzScrollBar(std::make_unique<TScrollBarProps>()),
      FVertScrollBar(std::make_unique<TScrollBarProps>()) {
  SetName("Form1");
  SmppClient1->SetName("SmppClient1");
  using K = TControlProps::TKind;
  const struct {
    const char* Name;
    QWidget* Widget;
    K Kind;
  } Parts[] = {{"Button1", Button1, K::Button}, {"Memo1", Memo1, K::Memo},
               {"Button2", Button2, K::Button}, {"Button3", Button3, K::Button},
               {"Edit1", Edit1, K::Edit},       {"Edit2", Edit2, K::Edit},
               {"Label1", Label1, K::Label},    {"Label2", Label2, K::Label},
               {"Edit3", Edit3, K::Edit},       {"Edit4", Edit4, K::Edit},
               {"Label3", Label3, K::Label},    {"Label4", Label4, K::Label},
               {"Edit5", Edit5, K::Edit},       {"Label5", Label5, K::Label},
               {"Edit6", Edit6, K::Edit},       {"Label6", Label6, K::Label}};
  for (const auto& P : Parts) {
    P.Widget->setObjectName(P.Name);
    FControls.push_back(std::make_unique<TControlProps>(*this, P.Name, P.Widget, P.Kind));
  }
  FClientProps = std::make_unique<TClientProps>(*this);
  setObjectName("Form1");
  // The controls sit on a client area inside a scroll area that fills the form, so that a form
  // made smaller than its scroll ranges scrolls them.
  FScroll = new QScrollArea(this);
  FScroll->setFrameShape(QFrame::NoFrame);
  FScroll->setFocusPolicy(Qt::NoFocus);
  FScroll->setWidgetResizable(true);
  FClient = new QWidget;
  FClient->setObjectName("ClientArea");
  for (const auto& C : FControls) C->Widget->setParent(FClient);
  FScroll->setWidget(FClient);
  FClient->installEventFilter(this);
  // A memo, like the edits, passes Tab on to the next control, and wraps a long line at its
  // width (still one line). Its lines are a log: no undo history is kept of what is appended.
  Memo1->setTabChangesFocus(true);
  Memo1->setUndoRedoEnabled(false);
  for (QLabel* L : {Label1, Label2, Label3, Label4, Label5, Label6}) L->setFocusPolicy(Qt::NoFocus);

  ReadFormText(*this, Resource());
  ApplyTabOrder();
  FClient->setMinimumSize(FHorzScrollBar->Range, FVertScrollBar->Range);
}

TForm1::~TForm1() {
  // The client goes first: its destructor returns only when no notification is running and none
  // can start, so nothing adds to the memo feed after this line.
  SmppClient1.reset();
  FMemoFeed.reset();
}

void TForm1::PublishProperties(TPublishedProperties& P) {
  P.Integer(
      "Left", [this] { return x(); }, [this](int32_t V) { move(V, y()); });
  P.Integer(
      "Top", [this] { return y(); }, [this](int32_t V) { move(x(), V); });
  P.Integer(
      "Width", [this] { return width(); }, [this](int32_t V) { resize(V, height()); });
  P.Integer(
      "Height", [this] { return height(); }, [this](int32_t V) { resize(width(), V); });
  P.Object("HorzScrollBar", *FHorzScrollBar);
  P.Object("VertScrollBar", *FVertScrollBar);
  P.Ident(
      "ActiveControl", [this] { return FActiveControl; },
      [this](const std::string& V) {
        auto* Control = dynamic_cast<TControlProps*>(Part(V));
        if (!Control || Control->Kind == TControlProps::TKind::Label)
          throw std::invalid_argument("no control " + V + " can take the focus");
        // Given the focus when the window is first activated.
        Control->Widget->setFocus();
        FActiveControl = V;
      },
      "");
  P.Text(
      "Caption", [this] { return ToText(windowTitle()); },
      [this](const std::string& V) { setWindowTitle(FromText(V)); });
  P.Ident(
      "Color", [this] { return FColor; },
      [this](const std::string& V) {
        // The desktop palette's window background, or its button face (a form's default).
        QPalette::ColorRole Role;
        if (V == "clBackground")
          Role = QPalette::Window;
        else if (V == "clBtnFace")
          Role = QPalette::Button;
        else
          throw std::invalid_argument("unknown colour " + V);
        setBackgroundRole(Role);
        FScroll->viewport()->setBackgroundRole(Role);
        FColor = V;
      },
      "clBtnFace");
  P.Integer("PixelsPerInch", FPixelsPerInch, 96);
  P.Integer("TextHeight", FTextHeight, 0);
  P.Integer("TextWidth", FTextWidth, 0);
  for (const char* Name :
       {"Button1", "SmppClient1", "Memo1", "Button2", "Button3", "Edit1", "Edit2", "Label1",
        "Label2", "Edit3", "Edit4", "Label3", "Label4", "Edit5", "Label5", "Edit6", "Label6"})
    P.Object(Name, *Part(Name));
}

TPersistent* TForm1::Part(std::string_view Name) const {
  if (Name == "SmppClient1") return FClientProps.get();
  for (const auto& C : FControls)
    if (C->Name == Name) return C.get();
  return nullptr;
}

void TForm1::ApplyTabOrder() {
  std::vector<TControlProps*> Chain;
  for (const auto& C : FControls)
    if (C->TabOrder >= 0) Chain.push_back(C.get());
  std::stable_sort(Chain.begin(), Chain.end(),
                   [](TControlProps* A, TControlProps* B) { return A->TabOrder < B->TabOrder; });
  for (size_t I = 1; I < Chain.size(); ++I)
    QWidget::setTabOrder(Chain[I - 1]->Widget, Chain[I]->Widget);
}

void TForm1::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  FScroll->setGeometry(rect());
}

bool TForm1::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == FClient && Event->type() == QEvent::Resize) {
    // A control aligned to the top keeps its height and spans the client area's width.
    for (const auto& C : FControls)
      if (C->Align == "alTop") C->Widget->setGeometry(0, 0, FClient->width(), C->Widget->height());
  }
  return QWidget::eventFilter(Watched, Event);
}

TForm1::TClickHandler TForm1::FindClickHandler(std::string_view Name) {
  if (Name == "Button1Click") return &TForm1::Button1Click;
  if (Name == "Button2Click") return &TForm1::Button2Click;
  if (Name == "Button3Click") return &TForm1::Button3Click;
  return nullptr;
}

TForm1::TNotifyHandler TForm1::FindNotifyHandler(std::string_view Name) {
  if (Name == "SmppClient1RcxOnData") return &TForm1::SmppClient1RcxOnData;
  if (Name == "SmppClient1TcxOnData") return &TForm1::SmppClient1TcxOnData;
  return nullptr;
}

void TForm1::RunClickHandler(TClickHandler Handler) {
  try {
    (this->*Handler)();
  } catch (const std::exception& E) {
    QMessageBox Box(QMessageBox::Critical, QApplication::applicationName(),
                    QString::fromLocal8Bit(E.what()), QMessageBox::Ok, this);
    Box.exec();
  }
}

// ---------------------------------------------------------------------------------------------
// Handlers.

void TForm1::Button1Click() {
  TSMPPClientInfo& Info = SmppClient1->ClientInfo();
  Info.SetHost(ToText(Edit4->text()));
  Info.SetPort(StrToInt(Edit5->text()));
  Info.SetUserID(ToText(Edit2->text()));
  Info.SetPassword(ToText(Edit3->text()));
  Info.SetSystemType(ToText(Edit6->text()));
  SmppClient1->Connect();
}

void TForm1::Button2Click() {
  TSMPPClientInfo& Info = SmppClient1->ClientInfo();
  Info.Set_submit_source_addr_ton(0);
  Info.Set_submit_source_addr_npi(1);
  Info.Set_submit_dest_addr_ton(1);
  Info.Set_submit_dest_addr_npi(1);
  SmppClient1->Send("1234", ToText(Edit1->text()), "", "Hello");
}

void TForm1::Button3Click() {
  SmppClient1->Disconnect();
}

// The text is read through Sender, which is SmppClient1: the field itself is already empty while
// the window is being closed, when the client's destruction waits for a notification that is
// still running, and it is the GUI thread's to write.
void TForm1::SmppClient1RcxOnData(TSmppClient* Sender) {
  FMemoFeed->Add(Sender->Rcx().rcxData());
}

void TForm1::SmppClient1TcxOnData(TSmppClient* Sender) {
  FMemoFeed->Add(Sender->Tcx().tcxData());
}
