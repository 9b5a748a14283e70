// The elements of the configuration file, one row each, and applying one
// element to the settings records.
//
// Elements are recognised by name prefix, case-sensitively: an element
// named portNumber is a port, one named Port is nothing. No row's name
// begins with another's, so an element matches at most one row, and the
// order of the rows does not matter.
#pragma once

#include <span>

#include "collector/startup/salvorElementRow.h"

std::span<const SalvorElementRow> SalvorConfigElements();

// The row the element `name` matches; null for an element of no setting.
const SalvorElementRow *SalvorConfigFindElement(const char *name);

/*
 * Applies the element `name` with its text `value` (as the document has
 * it, untrimmed): 0, also for an element that matches no row, or the
 * failure code with the reason in the init log. What an earlier element
 * set stays set either way.
 */
int SalvorConfigApplyElement(const char *name, const char *value);
