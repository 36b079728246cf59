// Files that travel together with a raster: ".dat" beside ".veg", ".002"
// beside ".001", world files and ".gcp" control points beside images.
// Every format finds them here, by one rule: the exact name first, then the
// same name with the extension in any case, so that files copied from
// systems that upper-case names keep their pairs.
#pragma once

#include <string>

namespace mirava {

// The existing file beside `name` whose extension is `ext` (with the dot) in
// any case: ChangeFileExt(name, ext) when it exists, else the first such
// name in byte order (stable whatever order the folder lists). Empty when
// there is none.
std::string FindCompanion(const std::string& name, const std::string& ext);

// The companion's name whether or not it exists: `name` itself when it
// already carries `ext` in any case, else FindCompanion's answer, else the
// name with `ext` as given (what a new companion is called).
std::string CompanionFile(const std::string& name, const std::string& ext);

}  // namespace mirava
