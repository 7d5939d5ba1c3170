// Where the files list lives when the store names none, on systems with XDG folders.
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "ui/settings_store.h"

namespace vantor::ui {

std::string DefaultFilesListPath() {
    std::filesystem::path folder;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
        folder = data;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::filesystem::path(home != nullptr ? home : "") / ".local" / "share";
    }
    folder /= "vantor";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return std::filesystem::absolute(folder / "flist.txt", ignored).string();
}

}  // namespace vantor::ui
