// Fuzzes the reading of "watchdog.json": any bytes, and the round trip of what decodes.
#include <cstddef>
#include <cstdint>

#include "fuzz/json_round_trip.h"
#include "state/watchdog_ledger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  veldane::checkJsonRoundTrip<veldane::WatchdogLedger>(data, size);
  return 0;
}
