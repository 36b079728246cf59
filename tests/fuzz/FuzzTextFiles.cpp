// The control point loaders and the world-file reader on arbitrary text.
#include <cstdint>
#include <string>

#include "FuzzTarget.h"
#include "georef/ControlPoints.h"
#include "georef/WorldFile.h"

using namespace mirava;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name = fuzz::ScratchDir() + "/points.gcp";
  fuzz::WriteFile(name, data, size);
  TGCPList native, named, numbered;
  native.LoadFromFile(name);
  named.LoadNamedPointsFile(name);
  numbered.LoadNumberedPointsFile(name);
  if (native.Count() > 0) native.SaveToFile(fuzz::ScratchDir() + "/saved.gcp", FilesInPlace());
  TWorldFile world;
  world.Read(name);
  return 0;
}
