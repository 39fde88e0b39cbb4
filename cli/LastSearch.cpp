#include "LastSearch.h"

#include <fstream>
#include <sstream>
#include <string>

#include "Options.h"
#include "platform/Shell.h"

namespace cli {

std::filesystem::path LastSearchFile() { return platform::UserDataDirectory() / "last-search.tsv"; }

void SaveLastSearch(const std::vector<CDeviceInfo>& found) {
    std::error_code ec;
    std::filesystem::create_directories(LastSearchFile().parent_path(), ec);
    std::ofstream out(LastSearchFile(), std::ios::trunc);
    for (const auto& f : found) out << f.m_model << '\t' << f.m_moduleIndex << '\t' << f.m_serial << '\n';
}

std::vector<CDeviceInfo> LoadLastSearch() {
    std::vector<CDeviceInfo> list;
    std::ifstream in(LastSearchFile());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string model, index, serial;
        if (!std::getline(fields, model, '\t') || !std::getline(fields, index, '\t')) continue;
        std::getline(fields, serial);
        auto n = ParseIndex(index);
        if (!n) continue;
        CDeviceInfo info;
        info.m_model = model;
        info.m_moduleIndex = *n;
        info.m_serial = serial;
        list.push_back(info);
    }
    return list;
}

}  // namespace cli
