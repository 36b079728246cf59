// Lists the key of every format, one a line: the raster fuzz targets that
// fuzz.sh runs, read from the format table.
#include <iostream>

#include "dataset/DataSet.h"

int main() {
  for (const mirava::TFormatEntry& entry : mirava::FormatEntries()) std::cout << entry.Key << "\n";
  return 0;
}
