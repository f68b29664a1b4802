// The one rule by which the tools read a number from their command line.
#pragma once

// Operators type decimal ("010" is ten, not eight); an explicit 0x prefix
// gives hex.  Anything else, an empty text or spaces included, is refused, as
// is a value outside lo..hi.  *out is written only on success.
bool read_number(const char *s, long lo, long hi, long *out);
