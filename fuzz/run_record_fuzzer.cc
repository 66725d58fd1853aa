// Fuzzes the reading of "host.json": any bytes, and the round trip of what decodes.
#include <cstddef>
#include <cstdint>

#include "fuzz/json_round_trip.h"
#include "state/host_run_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veldane::checkJsonRoundTrip<veldane::HostRunRecord>(data, size);
  return 0;
}
