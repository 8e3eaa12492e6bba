// What tecctl's command files share: values in words, the decimal point
// read as the read-all pass reads it, operation outcomes as exit statuses,
// and the commands kept in files of their own.
#pragma once

#include "core/operations.h"
#include "tecctl/commands.h"

#include <string>

namespace tecctl {

// Decimals a value of the class shows at the scale (temperatures in whole
// units or tenths, tenths, whole numbers).
int Decimals(params::EncClass cls, float tempScale);
// "%.*f" of v.
std::string FormatValue(double v, int decimals);
// EXIT_OK for an operation that went through; otherwise s.error says what
// stopped it and the status is EXIT_SILENT (no good answer) or EXIT_REFUSED.
int OpStatus(Session& s, const core::OpLog& op);
// The decimal point into p.decimalPnt and p.tempScale; false (noted in op)
// without a good answer.
bool ReadScale(Session& s, core::OpLog& op, ParameterSet& p);
// The local date and time of now, as the data log writes them.
void LocalNow(int* month, int* day, int* year, std::string* time);

int Watch(Session& s);
int Raw(Session& s);

} // namespace tecctl
