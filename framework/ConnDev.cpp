#include "ConnDev.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace conndev {

std::vector<std::string> SortedSuggestions(const std::vector<std::string>& suggestions) {
    std::vector<std::string> sorted = suggestions;
    // The box sorts without regard to case, as a list box does.
    std::stable_sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
        });
    });
    return sorted;
}

std::string InitialChoice(const std::vector<std::string>& suggestions) {
    auto sorted = SortedSuggestions(suggestions);
    return sorted.empty() ? std::string{} : sorted.front();
}

namespace {
// A field of digits only, at most 255; its value without leading zeros, or
// nothing. The socket layer reads "010" as nothing useful, so the text that
// leaves the dialog is the plain decimal form.
std::optional<std::string> Field(const std::string& piece) {
    if (piece.empty()) return std::nullopt;
    unsigned long value = 0;
    for (char c : piece) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 255) return std::nullopt;
    }
    return std::to_string(value);
}
}  // namespace

Result Clean(const std::string& text) {
    std::string cleaned;
    for (char c : text)
        if (c != ' ' && c != '\t') cleaned.push_back(c);
    if (auto dash = cleaned.find('-'); dash != std::string::npos) cleaned.erase(dash);
    if (cleaned.empty()) return {Verdict::Empty, {}};

    std::vector<std::string> pieces;
    std::string rest = cleaned + ".";
    for (std::size_t start = 0, dot; (dot = rest.find('.', start)) != std::string::npos; start = dot + 1)
        pieces.push_back(rest.substr(start, dot - start));
    if (pieces.size() != 4) return {Verdict::Invalid, {}};
    std::string address;
    for (const auto& piece : pieces) {
        const auto field = Field(piece);
        if (!field) return {Verdict::Invalid, {}};
        address += (address.empty() ? "" : ".") + *field;
    }
    return {Verdict::Ok, address};
}

}  // namespace conndev
