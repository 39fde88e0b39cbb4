#pragma once
// Family names as the registry and the Orvel catalogue know them, and the
// names a user types for them.
#include <string>
#include <vector>

namespace cli {

// True when the name is a registry row or an Orvel catalogue name.
bool KnownName(const std::string& name);
// Every name a search list may hold: the registry's rows, then the Orvel catalogue.
std::vector<std::string> KnownNames();
// The registered name a typed family name stands for; false with the error
// (and the close names) when none.
bool ResolveFamilyName(std::string& name, const std::string& command, std::string& error);
// Every family that this build has: the rows whose class makes an object.
std::vector<std::string> BuiltFamilies();
// False for a family that asks for no target address (it ignores --target).
bool TakesTarget(const std::string& name);

}  // namespace cli
