#include "FamilyNames.h"

#include <algorithm>
#include <cctype>

namespace familynames {

std::string Key(const std::string& name) {
    std::string key;
    for (unsigned char c : name) {
        if (c == ' ' || c == '\t' || c == '-' || c == '_') continue;
        key += static_cast<char>(std::tolower(c));
    }
    return key;
}

std::optional<std::string> Resolve(const std::string& typed, const std::vector<std::string>& known) {
    const std::string key = Key(typed);
    if (key.empty()) return std::nullopt;
    for (const auto& name : known)
        if (Key(name) == key) return name;
    return std::nullopt;
}

namespace {

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::vector<std::string> Close(const std::string& typed, const std::vector<std::string>& known, std::size_t limit) {
    const std::string key = Key(typed);
    if (key.empty()) return {};
    std::vector<std::pair<std::size_t, std::string>> scored;
    const std::size_t allowed = std::max<std::size_t>(2, key.size() / 3);
    for (const auto& name : known) {
        const std::string other = Key(name);
        const std::size_t d = EditDistance(key, other);
        const bool contains = key.size() >= 3 && (other.find(key) != std::string::npos ||
                                                  (other.size() >= 3 && key.find(other) != std::string::npos));
        if (d <= allowed || contains) scored.emplace_back(contains ? std::min(d, allowed) : d, name);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> out;
    for (const auto& s : scored) {
        if (out.size() == limit) break;
        if (std::find(out.begin(), out.end(), s.second) == out.end()) out.push_back(s.second);
    }
    return out;
}

}  // namespace familynames
