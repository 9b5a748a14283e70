// Elements whose value is a number, and the element that is only a flag.
#pragma once

#include "collector/startup/salvorElementRow.h"

// Each returns 0, or the failure code with the reason in the init log.
int SalvorReadFlagElement(const SalvorElementRow &row, const char *name);
/*
 * Read as C's atoi reads (leading blanks, a sign, digits up to the first
 * other character, no digits is 0), clamped to the int range. The value is
 * set before its range is checked: a refused value stays set, and the
 * start is refused anyway.
 */
int SalvorReadLooseNumberElement(const SalvorElementRow &row, const char *name, const char *text);
// A whole number from the row's min to its max, blanks around it allowed
// and nothing else: a typo in a limit that removes files must not read as 0.
int SalvorReadWholeNumberElement(const SalvorElementRow &row, const char *name, const char *text);
// "true" or "false", "1" or "0", blanks around it allowed; anything else is refused.
int SalvorReadBooleanElement(const SalvorElementRow &row, const char *name, const char *text);
