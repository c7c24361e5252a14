// Where the link fixture puts its directory links (see make-links.sh).
#pragma once

#include <filesystem>

namespace tess::test {

inline std::filesystem::path linksRoot() {
    return L"C:\\tessaro-links";
}
inline std::filesystem::path linkToTarget() {
    return linksRoot() / L"link";
}
inline std::filesystem::path linkTarget() {
    return linksRoot() / L"target";
}

} // namespace tess::test
