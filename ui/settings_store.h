// The settings store: the operator's choices kept between runs under one registry key, and the
// rules by which each stored text becomes an option.
#pragma once

#include <climits>
#include <cstddef>
#include <string>

#include "platform/stored_choices.h"

namespace vantor::ui {

using platform::BaudChoiceFromBrat;
using platform::kBratBufferBytes;
using platform::kComBufferBytes;
using platform::kSettingsKey;
using platform::PortIndexFromCom;

// Each value is read into a buffer of its own size; a longer value counts as absent. A path
// is read whole: the default list in a deep home folder is longer than the design's 100 bytes.
inline constexpr std::size_t kFilePathBufferBytes = PATH_MAX;
inline constexpr std::size_t kAddrBufferBytes = 2;
inline constexpr std::size_t kAddrenBufferBytes = 2;

// Stores one value under the settings key, creating the key when needed. A failure is silent:
// the choice then holds for this run only.
void WriteSetting(const std::string& name, const std::string& text);

// The first character's code, as a signed 8-bit number, minus 1; an empty value gives -1.
int SpecificAddressFromAddr(const std::string& text);
// The first character's code, as a signed 8-bit number, minus that of "0"; an empty value
// gives 0.
int UseSpecificAddressFromAddren(const std::string& text);
// One character whose code is the address plus 1; -1 (none chosen) stores an empty text.
std::string AddrText(int specific_address);

// The files list used when the store names none: flist.txt in the user's data folder
// ($XDG_DATA_HOME/vantor, else ~/.local/share/vantor), which is created when missing.
std::string DefaultFilesListPath();

}  // namespace vantor::ui
