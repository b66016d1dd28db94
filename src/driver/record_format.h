#pragma once
// Numbers as the drivers write them into records and messages: integers as
// "{:d}", doubles as "{:.17g}" (seventeen significant digits, so the text
// reads back as the same double).
//
// fmt inspects a NaN with an ordered comparison, which traps while the
// drivers run with FE_INVALID enabled. Non-finite values are therefore
// written here without fmt, as the strings fmt gives them: "nan", "-nan",
// "inf", "-inf".

#include <string>

std::string formatRecordInt(long long value);
std::string formatRecordDouble(double value);
