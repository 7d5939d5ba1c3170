// A job holds its files list for itself while it runs (a second opener is refused), so stations
// that run at once each read a copy of their own, taken once under the list's lock when the line
// starts. The copies go with the line. A list that cannot be copied is passed on as it is, and
// the station then says what is wrong with it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantor::cli {

class FilesListCopies {
  public:
    // Copies `list` (nothing for an empty name) once for each of `stations` into a folder of the
    // temporary directory that only this user may enter.
    FilesListCopies(const std::string& list, std::size_t stations);
    // Removes the copies and their folder.
    ~FilesListCopies();
    FilesListCopies(const FilesListCopies&) = delete;
    FilesListCopies& operator=(const FilesListCopies&) = delete;

    // The copy for station `number` (from 1), or empty for the list as given.
    std::string For(int number) const;

  private:
    std::string folder_;
    std::vector<std::string> paths_;
};

}  // namespace vantor::cli
