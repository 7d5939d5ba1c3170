// Where the files list lives when the store names none, on Windows: beside the settings store,
// in the user's roaming application data.
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "ui/settings_store.h"

namespace vantor::ui {

std::string DefaultFilesListPath() {
    std::filesystem::path folder;
    if (const char* data = std::getenv("APPDATA"); data != nullptr && *data != '\0') {
        folder = data;
    } else {
        const char* profile = std::getenv("USERPROFILE");
        folder = std::filesystem::path(profile != nullptr ? profile : "") / "AppData" / "Roaming";
    }
    folder /= "vantor";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return std::filesystem::absolute(folder / "flist.txt", ignored).string();
}

}  // namespace vantor::ui
