// Where the program keeps its settings and help, and the last job's names.
#pragma once

#include <string>

#include "app/CommandLine.h"
#include "raster/Error.h"

namespace mirava {

// The running program's file, from /proc/self/exe; `fallback` (argv[0])
// when that cannot be read.
std::string ExecutablePath(const std::string& fallback);

// Beside the executable (its path with ".ini") when that folder can be
// written and the program is not an installed one; otherwise
// mirava/mirava.ini in the user's configuration folder ($XDG_CONFIG_HOME,
// else ~/.config), so that an installed program remembers the names and
// never writes into its prefix, not even when root runs it.
std::string SettingsFileName(const std::string& executablePath);

// The help page: the executable's path with ".html" (a build folder); when
// there is none, the installed page in the documentation folder of the
// program's prefix, if that exists.
std::string HelpFileName(const std::string& executablePath);

// Section "Names", keys "InName" and "OutName"; section "Jpeg", keys
// "Quality" (1 to 100) and "Subsampling" (444, 422, 420). A missing or
// unreadable file gives empty names; a missing or bad JPEG value, the
// default (100, 444). Section "TIFF", key "CreationOptions": a TIFF
// output's creation options separated by blanks ("COMPRESS=DEFLATE
// TILED=YES"); options that are not right together are dropped; section
// "JPEG2000", key "CreationOptions", the same for a JPEG 2000 output. Section
// "Georeference", key "KeepGround": 1 keeps cells over their ground.
void LoadSettings(const std::string& fileName, TJobSettings& settings);
// Fails when the file could not be written.
TError SaveSettings(const std::string& fileName, const TJobSettings& settings);

}  // namespace mirava
