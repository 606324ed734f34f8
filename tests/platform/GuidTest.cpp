#include "platform/Guid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>

namespace {

// Session identifiers are handed out from a batch of random bytes per thread: every one,
// across many batches and on several threads, has the version 4 form and is new.
TEST(NewGuid, IsAFreshVersion4GuidAcrossBatchesAndThreads) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  std::string other_thread[500];
  std::thread([&] {
    for (std::string& guid : other_thread) guid = norvane::new_guid();
  }).join();
  for (const std::string& guid : other_thread) seen.insert(guid);
  for (int i = 0; i < 500; ++i) seen.insert(norvane::new_guid());
  EXPECT_EQ(seen.size(), 1000u);
  for (const std::string& guid : seen) ASSERT_TRUE(std::regex_match(guid, form)) << guid;
}

}  // namespace
