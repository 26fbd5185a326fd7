// The number format of CSV cells: the shortest decimal digits that read back
// as the same 32-bit float, laid out positionally (never an exponent), with
// "-0", "inf" and "-inf"; NaN is an empty cell.
#pragma once

namespace vintrel::csv {

// Longest cell: "-0." + 44 zeros + 1 digit (the smallest subnormal), or
// 39 integer digits of the largest float, plus room to spare.
constexpr int kMaxFloatChars = 64;

// Writes the cell for `value` at `out` (room for kMaxFloatChars) and returns
// the end of what was written; NaN writes nothing.
char* format_float(float value, char* out);

}  // namespace vintrel::csv
