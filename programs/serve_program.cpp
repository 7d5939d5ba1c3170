#include "serve_program.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console/command_line.h"

namespace vantor::cli {
namespace {

// The folder of the running program, with its closing slash; empty when the system hides it.
std::string ProgramFolder() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return {};
    }
    path.resize(static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1);
}

}  // namespace

int StartServeProgram(const std::vector<std::string>& arguments,
                      const std::string& installed_relative) {
    const std::string folder = ProgramFolder();
    if (folder.empty()) {
        return UsageError("serve", "cannot find this program's folder to start vantor-serve");
    }
    // Its argv[0] and command are this program's, so that it speaks as vantor-cli serve does.
    std::vector<std::string> words{"vantor-cli", "serve"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const std::string candidates[] = {folder + "vantor-serve", folder + installed_relative};
    std::string tried;
    int error = ENOENT;
    for (const std::string& candidate : candidates) {
        ::execv(candidate.c_str(), argv.data());
        error = errno;
        tried += (tried.empty() ? "" : " or ") + candidate;
    }
    return UsageError("serve", "serve's program cannot be started (" + tried + ": " +
                                   std::strerror(error) + "); reinstall Vantor");
}

}  // namespace vantor::cli
