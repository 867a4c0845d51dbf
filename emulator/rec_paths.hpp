// Path helpers of the recorder, pure so that they can be tested alone.
#pragma once

#include <string>

namespace zev::emu {

// The target of the link at `link` (an absolute path) rewritten relative to the link's folder so that
// it resolves to the same place: an absolute target climbs to / first, and climbing above / (where
// resolution stops anyway) is cut. A replayed tree then never holds a link that leads out of it.
std::string PortableTarget(const std::string& link, const std::string& target);

}  // namespace zev::emu
