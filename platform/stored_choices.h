// The operator's port and rate as the window keeps them in the settings store, and the rules by
// which each stored text becomes a choice: shared by the window, which writes them, and the
// command line, which takes them where it is given none.
#pragma once

#include <cstddef>
#include <string>

namespace vantor::platform {

inline constexpr const char* kSettingsKey = "SOFTWARE\\Halvren\\Vantor";

// Each value is read into a buffer of its own size; a longer value counts as absent.
inline constexpr std::size_t kComBufferBytes = 2;
inline constexpr std::size_t kBratBufferBytes = 8;

// "1" gives 0, "3" gives 2, "4" gives 3; any other first character (also "2") gives 1.
inline int PortIndexFromCom(const std::string& text) {
    switch (text.empty() ? '\0' : text[0]) {
        case '1':
            return 0;
        case '3':
            return 2;
        case '4':
            return 3;
        default:
            return 1;
    }
}

// 0 for "9600" exactly, else 1.
inline int BaudChoiceFromBrat(const std::string& text) {
    return text == "9600" ? 0 : 1;
}

}  // namespace vantor::platform
