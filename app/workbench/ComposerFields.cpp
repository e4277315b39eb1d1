// The composer's lists, its time fields, and its settings written to and read from a map.
#include "app/workbench/ComposerFields.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimeEdit>

#include "app/workbench/ComposerPanel.h"
#include "inspect/SmppTime.h"
#include "inspect/TlvText.h"

const std::vector<TNamedNumber> kTonNames = {
    {0, "Unknown"},           {1, "International"}, {2, "National"},    {3, "Network specific"},
    {4, "Subscriber number"}, {5, "Alphanumeric"},  {6, "Abbreviated"},
};
const std::vector<TNamedNumber> kNpiNames = {
    {0, "Unknown"},
    {1, "ISDN (E.164)"},
    {3, "Data (X.121)"},
    {4, "Telex (F.69)"},
    {6, "Land mobile (E.212)"},
    {8, "National"},
    {9, "Private"},
    {10, "ERMES"},
    {14, "Internet (IP)"},
    {18, "WAP client id"},
};

namespace {

// The composer's lists, in their order.
constexpr TTextCoding kCodings[] = {TTextCoding::tcAuto, TTextCoding::tcGsm, TTextCoding::tcLatin1,
                                    TTextCoding::tcUcs2, TTextCoding::tcBytes};
constexpr TLongMessageMode kModes[] = {TLongMessageMode::lmSplit, TLongMessageMode::lmUdh,
                                       TLongMessageMode::lmUdh16, TLongMessageMode::lmSar,
                                       TLongMessageMode::lmPayload};
const char* const kKinds[] = {"none", "relative", "absolute"};

std::string ToStd(const QString& S) {
  return S.toUtf8().toStdString();
}

// A value read from the map: nothing when the key is missing or its value does not read.
std::optional<int> IntOf(const QVariantMap& Values, const QString& Key, int Low, int High) {
  const QVariant V = Values.value(Key);
  bool Ok = false;
  const int N = V.toInt(&Ok);
  if (!Ok || N < Low || N > High) return std::nullopt;
  return N;
}

std::optional<QString> TextOf(const QVariantMap& Values, const QString& Key) {
  const QVariant V = Values.value(Key);
  if (!V.isValid() || V.typeId() == QMetaType::QVariantList ||
      V.typeId() == QMetaType::QVariantMap || !V.canConvert<QString>())
    return std::nullopt;
  return V.toString();
}

// Picks the entry whose data is the value read, or the default's.
void PickData(QComboBox* Box, const QVariantMap& Values, const QString& Key, int Default) {
  const int Index = Box->findData(IntOf(Values, Key, 0, 255).value_or(Default));
  Box->setCurrentIndex(Index >= 0 ? Index : Box->findData(Default));
}

}  // namespace

TTextCoding CodingAt(int Index) {
  return kCodings[std::clamp(Index, 0, int(std::size(kCodings)) - 1)];
}

int CodingIndex(TTextCoding Coding) {
  return int(std::find(std::begin(kCodings), std::end(kCodings), Coding) - std::begin(kCodings));
}

TLongMessageMode ModeAt(int Index) {
  return kModes[std::clamp(Index, 0, int(std::size(kModes)) - 1)];
}

int ModeIndex(TLongMessageMode Mode) {
  return int(std::find(std::begin(kModes), std::end(kModes), Mode) - std::begin(kModes));
}

TTlvRow TlvRowOf(const QTableWidget* Table, int Row) {
  TTlvRow R;
  if (const QTableWidgetItem* Tag = Table->item(Row, 0)) R.Tag = Tag->text().trimmed();
  if (const auto* Type = qobject_cast<const QComboBox*>(Table->cellWidget(Row, 1)))
    R.Type = Type->currentText();
  if (const QTableWidgetItem* Value = Table->item(Row, 2)) R.Value = Value->text();
  return R;
}

size_t TlvRowOctets(const QTableWidget* Table, int Row) {
  const TTlvRow R = TlvRowOf(Table, Row);
  uint16_t Tag = 0;
  std::vector<uint8_t> Value;
  std::string Error;
  return ParseTlvText(ToStd(R.Tag + "=" + R.Type + ":" + R.Value), Tag, Value, Error) ? Value.size()
                                                                                      : 0;
}

TSmppTimeField::TSmppTimeField(int MaxDays, bool WithAbsolute, QWidget* Parent) : QWidget(Parent) {
  auto* Row = new QHBoxLayout(this);
  Row->setContentsMargins(0, 0, 0, 0);
  Kind = new QComboBox;
  for (int I = 0; I < (WithAbsolute ? 3 : 2); ++I) Kind->addItem(kKinds[I]);
  Days = new QSpinBox;
  Days->setRange(0, MaxDays);
  Days->setSuffix(" d");
  Days->setToolTip(QString("Days, 0 to %1").arg(MaxDays));
  Span = new QTimeEdit;
  // Without absolute times this is the validity, which the client sends in whole minutes.
  Span->setDisplayFormat(WithAbsolute ? "HH:mm:ss" : "HH:mm");
  Span->setToolTip("Hours and minutes" + QString(WithAbsolute ? " and seconds" : ""));
  At = new QDateTimeEdit(QDateTime::currentDateTime().addSecs(3600));
  At->setDisplayFormat("yyyy-MM-dd HH:mm:ss");
  At->setCalendarPopup(true);
  At->setToolTip("Local time; sent with this zone's offset from UTC");
  Row->addWidget(Kind);
  Row->addWidget(Days);
  Row->addWidget(Span);
  Row->addWidget(At, 1);
  Row->addStretch(0);
  connect(Kind, &QComboBox::currentIndexChanged, this, &TSmppTimeField::Show);
  Show();
}

void TSmppTimeField::Show() {
  Days->setVisible(Choice() == tkRelative);
  Span->setVisible(Choice() == tkRelative);
  At->setVisible(Choice() == tkAbsolute);
}

TSmppTimeField::TKind TSmppTimeField::Choice() const {
  return static_cast<TKind>(std::max(0, Kind->currentIndex()));
}

std::optional<std::string> TSmppTimeField::SmppText(QString& Error) const {
  if (Choice() == tkNone) return std::string();
  if (Choice() == tkRelative) {
    const QTime T = Span->time();
    return RelativeSmppTime({0, 0, Days->value(), T.hour(), T.minute(), T.second()});
  }
  // Whole seconds, as the editor shows them: tenths 0.
  const QDateTime Local = At->dateTime();
  const QDate D = Local.date();
  const QTime T = Local.time();
  const std::optional<std::string> Text =
      AbsoluteSmppTime({D.year(), D.month(), D.day(), T.hour(), T.minute(), T.second(), 0,
                        Local.offsetFromUtc() / 60});
  if (!Text)
    Error =
        "an absolute time must fall in the years 2000 to 2099, in a zone whole quarter hours "
        "within 12 hours of UTC";
  return Text;
}

void TSmppTimeField::Save(QVariantMap& Values, const QString& Prefix) const {
  Values[Prefix + "_kind"] = kKinds[Choice()];
  Values[Prefix + "_days"] = Days->value();
  Values[Prefix + "_time"] = Span->time().toString("HH:mm:ss");
  if (Kind->count() > tkAbsolute) Values[Prefix + "_at"] = At->dateTime().toString(Qt::ISODate);
}

void TSmppTimeField::Load(const QVariantMap& Values, const QString& Prefix) {
  const int Kinds = Kind->count();
  int Index = 0;
  for (int I = 0; I < Kinds; ++I)
    if (TextOf(Values, Prefix + "_kind") == kKinds[I]) Index = I;
  Kind->setCurrentIndex(Index);
  Days->setValue(IntOf(Values, Prefix + "_days", 0, Days->maximum()).value_or(0));
  const QTime T = QTime::fromString(TextOf(Values, Prefix + "_time").value_or(""), "HH:mm:ss");
  Span->setTime(T.isValid() ? T : QTime(0, 0));
  const QDateTime At2 =
      QDateTime::fromString(TextOf(Values, Prefix + "_at").value_or(""), Qt::ISODate);
  At->setDateTime(At2.isValid() ? At2 : QDateTime::currentDateTime().addSecs(3600));
}

std::vector<QWidget*> TSmppTimeField::TabChain() const {
  return {Kind, Days, Span, At};
}

QVariantMap TComposerPanel::Settings() const {
  QVariantMap V;
  V["source"] = Source->text();
  V["source_ton"] = SourceTon->currentData();
  V["source_npi"] = SourceNpi->currentData();
  V["destinations"] = Destinations->text();
  V["dest_ton"] = DestTon->currentData();
  V["dest_npi"] = DestNpi->currentData();
  V["text"] = PlainText();
  V["coding"] = QString::fromLatin1(TextCodingWord(CodingAt(Coding->currentIndex())));
  V["long_mode"] = QString::fromLatin1(LongMessageModeWord(ModeAt(LongMode->currentIndex())));
  V["registered_delivery"] = ReceiptValue->value();
  Validity->Save(V, "validity");
  Schedule->Save(V, "schedule");
  V["priority"] = Priority->value();
  V["protocol_id"] = ProtocolId->value();
  V["service_type"] = ServiceType->text();
  QVariantList Rows;
  for (int Row = 0; Row < Tlvs->rowCount(); ++Row) {
    const TTlvRow R = TlvRowOf(Tlvs, Row);
    Rows.append(QVariantMap{{"tag", R.Tag}, {"type", R.Type}, {"value", R.Value}});
  }
  V["tlvs"] = Rows;
  V["repeat"] = Repeat->value();
  return V;
}

void TComposerPanel::ApplySettings(const QVariantMap& V) {
  Source->setText(TextOf(V, "source").value_or("1234").left(Source->maxLength()));
  PickData(SourceTon, V, "source_ton", 0);
  PickData(SourceNpi, V, "source_npi", 1);
  Destinations->setText(TextOf(V, "destinations").value_or("5550100"));
  PickData(DestTon, V, "dest_ton", 1);
  PickData(DestNpi, V, "dest_npi", 1);
  Text->setPlainText(TextOf(V, "text").value_or("Hello"));
  const auto CodingRead = TextCodingFromWord(ToStd(TextOf(V, "coding").value_or("")));
  Coding->setCurrentIndex(CodingIndex(CodingRead.value_or(TTextCoding::tcAuto)));
  const auto ModeRead = LongMessageModeFromWord(ToStd(TextOf(V, "long_mode").value_or("")));
  LongMode->setCurrentIndex(ModeIndex(ModeRead.value_or(TLongMessageMode::lmUdh)));
  const int Delivery = IntOf(V, "registered_delivery", 0, 255).value_or(1);
  Receipt->setCurrentIndex(Delivery <= 2 ? Delivery : 3);
  ReceiptValue->setValue(Delivery);
  ReceiptValue->setEnabled(Receipt->currentIndex() == 3);
  Validity->Load(V, "validity");
  Schedule->Load(V, "schedule");
  Priority->setValue(IntOf(V, "priority", 0, 3).value_or(0));
  ProtocolId->setValue(IntOf(V, "protocol_id", 0, 255).value_or(0));
  ServiceType->setText(TextOf(V, "service_type").value_or("").left(ServiceType->maxLength()));
  Tlvs->setRowCount(0);
  const QVariant Rows = V.value("tlvs");
  for (const QVariant& Row :
       Rows.typeId() == QMetaType::QVariantList ? Rows.toList() : QVariantList()) {
    const QVariantMap R = Row.toMap();
    AddTlvRow(TextOf(R, "tag").value_or(""), TextOf(R, "type").value_or("int2"),
              TextOf(R, "value").value_or(""));
  }
  CheckTlvs();
  Repeat->setValue(IntOf(V, "repeat", 1, kMaxRepeat).value_or(1));
}
