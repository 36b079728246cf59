// Names of the files that travel together with a raster (".dat" beside
// ".veg", ".002" beside ".001", ".hgt" tiles).
#pragma once

#include <string>

namespace mirava {

// The name with its extension replaced by `ext` (lower case, with the dot).
// When the name already carries that extension in any case, the name itself;
// when a file with that extension in another case exists, that file: tiles
// copied from systems that upper-case names keep their pairs.
std::string CompanionFile(const std::string& name, const std::string& ext);

}  // namespace mirava
