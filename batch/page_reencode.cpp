// Re-encoding of one page PNG as a JPEG file.
#include "batch/batch.h"
#include "framework/exceptions.h"

namespace quillamar::batch {

void ConvertPngToJpg(const std::string&, const std::string&) {
  throw EInvalidGraphicOperation("JPEG output is not built yet");
}

}  // namespace quillamar::batch
