#include "veldane/host.h"

#include <gtest/gtest.h>

#include "host/host_test_support.h"
#include "state/host_run_record.h"
#include "state/watchdog_store.h"

extern "C" const char* exercise_c_api(const char* bundle_path, veldane_host** out);

namespace veldane {
namespace {

TEST(HostCApi, CallsFromCReachTheRecord) {
  TestBundle bundle;
  veldane_host* host = nullptr;
  const char* failed = exercise_c_api(bundle.bundle().c_str(), &host);
  std::unique_ptr<veldane_host, void (*)(veldane_host*)> owner(host, veldane_host_free);
  ASSERT_EQ(failed, nullptr) << failed;

  const WatchdogFiles files = bundle.files("com.example.c");
  EXPECT_EQ(veldane_host_data_folder(host), files.directory.string());
  std::optional<HostRunRecord> record = WatchdogStore::read<HostRunRecord>(files.hostRecordPath());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->launchID, veldane_host_launch_id(host));
  EXPECT_TRUE(record->safeMode && record->curtainUp && record->cleanExit);
}

}  // namespace
}  // namespace veldane
