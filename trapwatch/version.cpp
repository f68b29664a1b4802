#include "trapwatch/version.h"

// __DATE__ is "Mmm dd yyyy" with a blank before a one-digit day, as wanted.
const char trapwatch_version_text[] = TRAPWATCH_VERSION " (" __DATE__ " " __TIME__ ")";
