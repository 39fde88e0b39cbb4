#pragma once
// The family registry of this build: one row per family the user can search
// for, in search order. An explicit table (families/Registry.cpp), so that no
// family can drop out of a static library unnoticed. The front ends take it
// from here and hand it to the search and the write path.
#include "framework/Registry.h"

const FamilyRegistry& BuiltInFamilies();

// Fills the process-wide Orvel model catalogue from a temporary Orvel family
// object's model list.
void BuildOrvelCatalogue();
