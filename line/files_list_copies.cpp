#include "line/files_list_copies.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "platform/regular_file.h"
#include "platform/result.h"

namespace vantor::line {

namespace {

// A files list is copied for the stations only up to this size; a larger one is passed on as it
// is (a list of 128-character lines this long would name over 100,000 images).
constexpr std::size_t kMostFilesListBytes = 16 * 1024 * 1024;
constexpr int kFolderNameAttempts = 100;
// Where the copies go when the temporary directory cannot be used.
constexpr const char* kFallbackFolder = "/tmp";

// The whole list, read under its lock so that a list being saved is never copied half written;
// false when it cannot be read or is too large.
bool ReadLockedList(const std::string& list, std::string& contents) {
    const int fd = platform::OpenRegularFile(list, false, true);
    if (fd < 0) {
        return false;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        return false;
    }
    char buffer[64 * 1024];
    std::size_t got = 0;
    while (contents.size() <= kMostFilesListBytes &&
           (got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        contents.append(buffer, got);
    }
    const bool whole = std::ferror(file) == 0 && contents.size() <= kMostFilesListBytes;
    std::fclose(file);  // releases the lock
    return whole;
}

// A new folder "vantor-line-XXXXXX" in `parent` that only this user may enter, or why none can
// be made.
Result<std::string> MakePrivateFolder(const std::filesystem::path& parent) {
    constexpr std::string_view kLetters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> letter(0, kLetters.size() - 1);
    std::error_code error;
    for (int attempt = 0; attempt < kFolderNameAttempts; ++attempt) {
        std::string name = "vantor-line-";
        for (int i = 0; i < 6; ++i) {
            name += kLetters[letter(random)];
        }
        const std::filesystem::path folder = parent / name;
        if (!std::filesystem::create_directory(folder, error)) {
            if (error) {
                return Failure{error.message()};
            }
            continue;  // the name is taken
        }
        // Made empty; closed to others before anything is put in it.
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
        if (error) {
            Failure failure{error.message()};
            std::filesystem::remove(folder, error);
            return failure;
        }
        return folder.string();
    }
    return Failure{"no free folder name"};
}

}  // namespace

FilesListCopies::FilesListCopies(const std::string& list, std::size_t stations) {
    if (list.empty()) {
        return;
    }
    // Nothing on this path may end the line with an exception: a reason is all it gives.
    try {
        Copy(list, stations);
    } catch (const std::exception& failure) {
        problem_ = std::string("the stations' copies of the files list could not be made: ") +
                   failure.what();
    }
}

void FilesListCopies::Copy(const std::string& list, std::size_t stations) {
    std::string contents;
    if (!ReadLockedList(list, contents)) {
        return;
    }
    std::error_code error;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    Result<std::string> made =
        error ? Result<std::string>(Failure{error.message()}) : MakePrivateFolder(temporary);
    if (!made) {
        const char* tmpdir = std::getenv("TMPDIR");
        const std::string named = tmpdir != nullptr ? std::string("TMPDIR \"") + tmpdir + "\""
                                                    : "the temporary directory";
        const std::string cause = made.reason();
        made = MakePrivateFolder(kFallbackFolder);
        if (!made) {
            problem_ = "the stations' copies of the files list cannot be made: " + named + ": " +
                       cause + "; " + kFallbackFolder + ": " + made.reason();
            return;
        }
        note_ = named + " cannot be used (" + cause + "); the stations' copies of the files " +
                "list are made in " + kFallbackFolder;
    }
    folder_ = *made;
    for (std::size_t station = 1; station <= stations; ++station) {
        const std::string copy = folder_ + "/station-" + std::to_string(station) + "-" +
                                 std::filesystem::path(list).filename().string();
        std::ofstream out(copy, std::ios::binary);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.close();
        if (!out) {
            // A station without its copy would fight the others for the list.
            problem_ = "the stations' copies of the files list cannot be written in " + folder_;
            paths_.clear();
            return;
        }
        paths_.push_back(copy);
    }
}

FilesListCopies::~FilesListCopies() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string FilesListCopies::For(int number) const {
    const auto index = static_cast<std::size_t>(number - 1);
    return index < paths_.size() ? paths_[index] : "";
}

}  // namespace vantor::line
