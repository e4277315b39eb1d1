// Form text: the readable text in which an object's published properties are stored and from
// which they are read back.
//
// Format. One statement per line; leading spaces are indentation and carry no meaning; empty lines
// and lines whose first non-blank character is '#' are ignored.
//
//   Name = value        a scalar property
//   Name {              a nested object, stored under its property's name; its statements follow
//   }                   until the matching closing brace, alone on its line
//
// Names are letters, digits and underscores, not starting with a digit. Values:
//
//   integer     decimal, optional leading '-':                   Port = 3389, cmd_seq = -1
//   boolean     true or false:                                   Active = true
//   identifier  a bare name:                                     Color = clBackground
//   text        between double quotes:                           Host = "127.0.0.1"
//
// Inside a text every byte from 0x20 to 0x7E stands for itself except '"' and '\', which are
// written \" and \\. Line feed, carriage return and tab are written \n, \r and \t; every other byte
// below 0x20, 0x7F and every byte above 127 is written \xHH (two hexadecimal digits), so a text
// holds any byte string, whatever its character set, and comes back byte for byte.
//
// Writing lists the object's properties in streaming order: every scalar property that has no
// declared default or whose value differs from it, and every nested object that has at least one
// stored property. Reading assigns each stored value through the property's setter, over whatever
// the object's constructor set; properties the text does not mention keep their values.
//
// Example (a client component with its settings object):
//
//   ClientInfo {
//     Host = "127.0.0.1"
//     Port = 2775
//     Password = "p\xE9\"q"
//     submit_source_addr_npi = 0
//   }
//
// Threads: both operations run on the application's thread, like the accessors they call.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "base/Published.h"

// Raised by ReadFormText for text it cannot take: a syntax error, an unknown property, a value of
// the wrong kind or out of range, or a value the property's setter refuses (std::invalid_argument).
// Line() is the 1-based line of the fault. Statements before the faulty line have already been
// assigned.
class EFormTextError : public std::runtime_error {
 public:
  EFormTextError(int Line, const std::string& Message);
  int Line() const { return FLine; }

 private:
  int FLine;
};

// Returns the form text of Object's published properties. Raises std::invalid_argument if an
// identifier property holds something that is not a name.
std::string WriteFormText(TPersistent& Object);

// Assigns the values stored in Text to Object's published properties. Raises EFormTextError.
void ReadFormText(TPersistent& Object, std::string_view Text);

// The quoted form of a text value, as it appears in a form text.
std::string QuoteFormText(std::string_view Value);
