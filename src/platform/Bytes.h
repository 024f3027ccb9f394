// Byte buffers: everything the transport sends and receives, and every encoder's input and output.
#pragma once

#include <cstdint>
#include <vector>

namespace larkpost {

using TLpBytes = std::vector<uint8_t>;

}  // namespace larkpost
