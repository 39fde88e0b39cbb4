#pragma once
// The modules of the last search, kept between runs so that a write can warn
// when its serial number is already another module's.
#include <filesystem>
#include <vector>

#include "framework/DeviceInfo.h"

namespace cli {

std::filesystem::path LastSearchFile();
void SaveLastSearch(const std::vector<CDeviceInfo>& found);
std::vector<CDeviceInfo> LoadLastSearch();

}  // namespace cli
