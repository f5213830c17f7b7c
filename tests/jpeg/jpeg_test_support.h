// The shared test helpers under the name the file-replacing test still uses; goes when that test
// includes support/images.h and support/temp_dir.h itself.
#pragma once

#include "support/images.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace testing_support = testing;
}  // namespace quillamar
