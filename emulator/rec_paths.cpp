#include "rec_paths.hpp"

namespace zev::emu {

std::string PortableTarget(const std::string& link, const std::string& target)
{
    size_t depth = 0;
    for (size_t i = 1; i < link.size(); ++i)
        if (link[i] == '/') ++depth;
    std::string rest = target;
    std::string out;
    if (!rest.empty() && rest[0] == '/') {
        for (size_t i = 0; i < depth; ++i) out += "../";
        rest = rest.substr(1);
        depth = 0;
    }
    size_t level = depth;
    std::string part;
    std::string kept;
    size_t pos = 0;
    while (pos <= rest.size()) {
        const size_t slash = rest.find('/', pos);
        part = rest.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        pos = slash == std::string::npos ? rest.size() + 1 : slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (level == 0) continue;
            --level;
        } else {
            ++level;
        }
        kept += (kept.empty() ? "" : "/") + part;
    }
    out += kept;
    return out.empty() ? "." : out;
}

}  // namespace zev::emu
