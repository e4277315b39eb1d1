// The composer's lists (TON, NPI, codings, long-message modes, parameter types) and the reading of
// a row of its optional parameter table. GUI thread.
#pragma once

#include <QString>
#include <vector>

#include "smpp/LongMessage.h"
#include "smpp/TextCoding.h"

class QTableWidget;

struct TNamedNumber {
  int Value;
  const char* Name;
};

extern const std::vector<TNamedNumber> kTonNames;
extern const std::vector<TNamedNumber> kNpiNames;
// The types of an optional parameter's value, as ParseTlvText reads them.
inline constexpr const char* kTlvTypes[] = {"int1", "int2", "int4", "str", "hex"};

// The coding and the long-message mode at an index of the composer's lists, and back.
TTextCoding CodingAt(int Index);
int CodingIndex(TTextCoding Coding);
TLongMessageMode ModeAt(int Index);
int ModeIndex(TLongMessageMode Mode);

// A row of the optional parameter table as typed.
struct TTlvRow {
  QString Tag, Type, Value;
};
TTlvRow TlvRowOf(const QTableWidget* Table, int Row);
// The octets of the row's value, 0 for a row that does not read.
size_t TlvRowOctets(const QTableWidget* Table, int Row);
