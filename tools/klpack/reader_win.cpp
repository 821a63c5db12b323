// Cabinet reading in the Windows build of klpack.
#include "reader.h"

namespace klpack {

Status ReadCabinet(const CabSource&, CabListing*, const FileSink&) {
  return Status::Input("extract: not available in this build");
}

}  // namespace klpack
