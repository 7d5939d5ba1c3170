// A program's option table whose rows carry, beside each option, what the program does with it.
// The options alone, in the table's order, are what the help, the completions and the manual
// page are held to.
#pragma once

#include <array>
#include <cstddef>

#include "platform/program_options.h"

namespace vantor::platform {

// The options of `rows`, each row's `option`.
template <typename Row, std::size_t N>
constexpr std::array<ProgramOption, N> OptionsOfRows(const Row (&rows)[N]) {
    std::array<ProgramOption, N> options{};
    for (std::size_t index = 0; index < N; ++index) {
        options[index] = rows[index].option;
    }
    return options;
}

}  // namespace vantor::platform
