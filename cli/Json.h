#pragma once
#include <string>

// Quotes text as a JSON string (bytes above 0x7f are escaped as \u00XX so the
// output stays valid whatever an image holds).
std::string JsonString(const std::string& text);
