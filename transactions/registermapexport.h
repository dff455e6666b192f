#pragma once

// A register map as other programs take it: a C header for firmware (the map
// as the one source of register addresses and field layouts) and Markdown
// for documentation.

#include "transactions/registermap.h"

#include <QString>
#include <QStringView>

// A C header that compiles with cc -std=c99 -Wall -Werror: for every
// register <DEVICE>_<REG>_ADDR (and _RESET where known), for every field
// <DEVICE>_<REG>_<FIELD>_SHIFT and _MASK (in register width), and one
// <DEVICE>_<REG>_<FIELD>_<LABEL> per labelled value (the field's own bits,
// not shifted). Names are upper case with anything but letters and digits
// made _, a label's sign spelt out (PLUS_1_5_C, MINUS_1_5_C). Empty, with
// both places in error, when two things would make the same name.
QString RegisterMapHeader(const SRegisterMap& map, QString* error = nullptr);
// The map as Markdown: a table of the registers, then one table of fields
// for each register that has fields.
QString RegisterMapMarkdown(const SRegisterMap& map);
// Text as part of a C identifier: upper case ASCII letters, digits and
// single _ between words; empty when nothing is left.
QString CIdentifierPart(QStringView text);
