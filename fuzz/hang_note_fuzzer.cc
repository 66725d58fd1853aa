// Fuzzes the reading of "hang.json": any bytes, and the round trip of what decodes.
#include <cstddef>
#include <cstdint>

#include "fuzz/json_round_trip.h"
#include "state/host_hang_note.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veldane::checkJsonRoundTrip<veldane::HostHangNote>(data, size);
  return 0;
}
