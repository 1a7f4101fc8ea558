// SPDX-License-Identifier: MIT
//
// recover_library_test.cpp - the recover library run in process, as the
// Python module runs it: the caller's hooks alone see the key, its stop
// hook stops the search where it stands (and a kept session resumes it),
// and a part by --skip and --limit is tried and counted by number. Counts,
// not the clock: a stop comes after the search has asked a given number of
// times whether to stop.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/recover/recover.h"
#include "cli/status.h"
#include "engine/trirotor.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

using cli::RecoverOptions;

class RecoverLibrary : public ToolTest {
 protected:
  static std::string Sealed(const std::u16string& key) {
    FrameHeader header{};
    for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(29 * i + 3);
    return EncodeBytes(Bytes("a line of an old message\r\n"), key, u"", header, 0);
  }
  static RecoverOptions MaskSearch(const std::string& message, const std::string& mask) {
    RecoverOptions o;
    o.messageBytes = message;
    o.keepSession = false;
    o.mask = mask;
    o.jobs = 2;
    return o;
  }
};

// The key found reaches the deliver hook alone, at its number; the lines
// told never hold it; a part finds it only when it holds its number.
TEST_F(RecoverLibrary, TheKeyGoesToTheCallerAtItsNumber) {
  // "qzd" is candidate 17 + 25 * 26 + 3 * 676 = 2,695 of ?l?l?l.
  const std::string message = Sealed(u"qzd");
  struct Case {
    const char* name;
    std::optional<std::uint64_t> skip, limit;
    bool found;
    std::uint64_t tried;  // when not found
  };
  const Case cases[] = {
      {"the whole search", std::nullopt, std::nullopt, true, 0},
      {"a part that holds it", 2600, 100, true, 0},
      {"a part that ends just before it", 0, 2694, false, 2694},
      {"a part that starts just after it", 2695, std::nullopt, false, 17576 - 2695},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecoverOptions o = MaskSearch(message, "?l?l?l");
    o.skip = c.skip;
    o.limit = c.limit;
    std::vector<std::string> told;
    std::vector<cli::RecoverFound> delivered;
    cli::RecoverHooks hooks;
    hooks.tell = [&](std::string_view line, bool) { told.emplace_back(line); };
    hooks.deliver = [&](const cli::RecoverFound& found) {
      delivered.push_back(found);
      return std::string();
    };
    const cli::RecoverResult result = cli::Recover(o, hooks);
    EXPECT_EQ(result.status, c.found ? 0 : 3);
    ASSERT_EQ(delivered.size(), c.found ? 1u : 0u);
    if (c.found) {
      EXPECT_EQ(delivered[0].key, "qzd");
      EXPECT_EQ(delivered[0].number + 1, 2695u);
      EXPECT_EQ(result.found->number, delivered[0].number);
    } else {
      EXPECT_EQ(result.tried, c.tried);
    }
    for (const std::string& line : told) EXPECT_EQ(line.find("qzd"), std::string::npos) << line;
  }
}

// The stop hook stops the search where it stands: the run throws the stop,
// its kept session holds what was tried, and the same search resumed from
// it tries the rest and no more.
TEST_F(RecoverLibrary, TheStopHookStopsAndTheSessionResumes) {
  const std::string message = File("m.b64", Sealed(u"not a candidate"));
  RecoverOptions o;
  o.message = message;
  o.mask = "?l?l?l?l";
  o.jobs = 2;
  o.session = Path("s.recover").string();
  // The stop after the search has asked 500 times (64 candidates an ask),
  // some 32,000 of 456,976 in, however fast the machine: a count, not a time.
  std::atomic<int> asked{0};
  cli::RecoverHooks hooks;
  hooks.stop = [&] { return asked.fetch_add(1) >= 500; };
  hooks.progress = [&](const cli::RecoverProgress& p) { EXPECT_EQ(p.total, 456976u); };
  try {
    (void)cli::Recover(o, hooks);
    FAIL() << "the search ended by itself before its stop";
  } catch (const cli::Failure& failure) {
    EXPECT_EQ(failure.status, cli::kExitAborted) << failure.message;
  }
  const nlohmann::json saved = nlohmann::json::parse(ReadFile(Path("s.recover")));
  const std::uint64_t before = saved["standing"]["tried"];
  EXPECT_LT(before, 456976u);
  RecoverOptions again;
  again.restore = o.session;
  again.jobs = 2;
  const cli::RecoverResult result = cli::Recover(again, cli::RecoverHooks{});
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.tried, 456976u);  // the whole, each once
}

}  // namespace
}  // namespace trirotor::test
