#pragma once
#include <string>
#include <vector>

// Logic of the connection dialog: what the address box shows first, and how
// the entered text is cleaned and validated when the user presses OK.
namespace conndev {

inline constexpr const char* kEmptyMessage = "Please input device IP address!";
inline constexpr const char* kInvalidMessage = "Please input a correct IP address!";
inline constexpr const char* kInvalidCaption = "Message";

// Suggestions sorted as the address box sorts them (alphabetically).
std::vector<std::string> SortedSuggestions(const std::vector<std::string>& suggestions);
// The entry the box shows first: the alphabetically first suggestion, or "".
std::string InitialChoice(const std::vector<std::string>& suggestions);

enum class Verdict { Ok, Empty, Invalid };
struct Result {
    Verdict verdict;
    std::string address;  // the cleaned address, meaningful with Verdict::Ok
};
// Removes blanks, cuts from the first '-', then checks four dotted fields of
// digits, at most 255 each; the address comes back in plain decimal form
// ("010.001.000.255" gives "10.1.0.255").
Result Clean(const std::string& text);

}  // namespace conndev
