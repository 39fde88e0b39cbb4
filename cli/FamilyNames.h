#pragma once
#include <optional>
#include <string>
#include <vector>

// Family names as users type them: "tesk100", "Tesk-100" and "Tesk - 100" all
// name the registry row "Tesk - 100". Case, blanks and dashes do not count;
// every other character does ("Pembrix - Alda+" is not "Pembrix - Alda").
namespace familynames {

// The text that two names share when they name the same row.
std::string Key(const std::string& name);

// The registry or Orvel catalogue name that `typed` stands for, from `known`
// (in order, first match); nullopt when none.
std::optional<std::string> Resolve(const std::string& typed, const std::vector<std::string>& known);

// Names of `known` close to `typed` (a few edits apart, or one containing the
// other), closest first, at most `limit`.
std::vector<std::string> Close(const std::string& typed, const std::vector<std::string>& known,
                               std::size_t limit = 5);

}  // namespace familynames
