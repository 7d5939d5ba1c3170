// What a front end sees of a running line: each station's start, every line of its event
// stream, its status texts and its end, and a moment to redraw. The line calls these as it runs;
// each does nothing unless the front end shows it (serve follows the stations through their
// events instead, and shows nothing here).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "line/station.h"

namespace vantor::line {

class LineObserver {
  public:
    virtual ~LineObserver() = default;

    virtual void StationStarted(const Station&, const Attempt&) {}
    // One line of the station's event stream.
    virtual void StationEvent(const Station&, std::string_view) {}
    // A status text or message box of the station.
    virtual void StationText(const Station&, const std::string&) {}
    virtual void StationEnded(const Station&, const Attempt&, bool /*will_retry*/) {}
    // A moment to redraw what the front end shows of every station; `force` when it must.
    virtual void Refresh(const std::vector<Station>&, bool /*force*/) {}
};

}  // namespace vantor::line
