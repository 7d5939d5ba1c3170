// A job holds its files list for itself while it runs (a second opener is refused), so stations
// that run at once each read a copy of their own, taken once under the list's lock when the line
// starts. The copies go with the line. A list that cannot be read is passed on as it is, and the
// station then says what is wrong with it; a list that can be read but not copied stops the line
// before any station starts, as the stations would otherwise refuse each other the list.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantor::line {

class FilesListCopies {
  public:
    // Copies `list` (nothing for an empty name) once for each of `stations` into a folder that
    // only this user may enter, in the temporary directory ($TMPDIR), else in /tmp.
    FilesListCopies(const std::string& list, std::size_t stations);
    // Removes the copies and their folder.
    ~FilesListCopies();
    FilesListCopies(const FilesListCopies&) = delete;
    FilesListCopies& operator=(const FilesListCopies&) = delete;

    // The copy for station `number` (from 1), or empty for the list as given.
    std::string For(int number) const;
    // Why the copies could not be made; empty when they were, or were not needed.
    const std::string& Problem() const { return problem_; }
    // What the line should know: the temporary directory was not usable and /tmp was taken.
    const std::string& Note() const { return note_; }

  private:
    void Copy(const std::string& list, std::size_t stations);

    std::string problem_;
    std::string note_;
    std::string folder_;
    std::vector<std::string> paths_;
};

}  // namespace vantor::line
