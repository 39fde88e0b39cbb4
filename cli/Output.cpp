#include "Output.h"

#include <cstdio>

#include "CliPrompt.h"
#include "Json.h"

namespace cli {

bool g_json = false;
CliPrompt* g_prompt = nullptr;

int Fail(int code, const std::string& message) {
    if (g_json)
        std::printf("{\"ok\":false,\"error\":%s}\n", JsonString(message).c_str());
    else
        std::fprintf(stderr, "brevane-cli: %s\n", message.c_str());
    return code;
}

std::string Latin1ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Hex(const IdentityImage& image) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : image) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace cli
