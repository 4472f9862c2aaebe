// The engine's request: checked and resolved in the core, so that its rules
// (the box met with the catalogue's, held values, the effort's cap) hold
// whatever binding fills it.

#include "fit/engine_options.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/tree.hpp"
#include "test_support.hpp"

namespace kelvara {
namespace {

struct Data {
  SeriesList tree = parsed("R0-(R1,CPE1)");
  std::vector<double> f = log_frequencies(1e4, 1e-1, 30);
  std::vector<Complex> z = spectrum_of(rebuild(tree, std::vector<double>{0.5, 2.0, 1e-3, 0.9}), f);
};

EngineOptions plain() {
  EngineOptions o;
  o.starts = {{0.4, 3.0, 2e-3, 0.8}, {0.6, 1.0, 5e-4, 0.7}};
  o.held = {false, true, false, false};
  o.lower = {-INFINITY, -INFINITY, 1e-3, 0.75};
  o.upper = {INFINITY, INFINITY, INFINITY, 1.0};
  return o;
}

TEST(EngineRequest, MeetsTheBoxHoldsTheFirstStartsValuesAndClampsEveryStart) {
  const Data d;
  auto out = engine_request(d.tree, d.f, d.z, plain());
  ASSERT_TRUE(std::holds_alternative<EngineRequest>(out)) << std::get<FitError>(out).message();
  const EngineRequest& r = std::get<EngineRequest>(out);
  EXPECT_EQ(r.box[0].lo, param_bounds(d.tree)[0].lo);  // the catalogue's floor wins
  EXPECT_EQ(r.box[2].lo, 1e-3);
  EXPECT_EQ(r.box[3].lo, 0.75);
  EXPECT_EQ(r.starts[1][1], 3.0);   // held: the first start's value
  EXPECT_EQ(r.starts[1][2], 1e-3);  // clamped up into the box
  EXPECT_EQ(r.starts[1][3], 0.75);
  EXPECT_TRUE(r.held()[1] && !r.held()[0]);
  EXPECT_TRUE(r.search && r.modulus);
  // The default effort multiplies the thorough search's starts.
  EXPECT_EQ(r.settings.quasi_random, SearchSettings{}.quasi_random *
                                         option_default_of<std::size_t>(engine_option("effort")));
}

TEST(EngineRequest, PresetsPickTheSearch) {
  const Data d;
  for (const char* preset : {"quick", "local"}) {
    EngineOptions o = plain();
    o.search = preset;
    o.effort = 1;
    const EngineRequest r = std::get<EngineRequest>(engine_request(d.tree, d.f, d.z, o));
    EXPECT_EQ(r.search, std::string(preset) != "local");
    if (r.search) {
      EXPECT_EQ(r.settings.quasi_random, SearchSettings::quick().quasi_random);
    }
  }
}

struct BadCase {
  const char* name;
  void (*spoil)(EngineOptions&);
  const char* message;
};

class EngineRequestRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(EngineRequestRefuses, WithAMessageNamingTheOptionAndItsRule) {
  const Data d;
  EngineOptions o = plain();
  GetParam().spoil(o);
  auto out = engine_request(d.tree, d.f, d.z, o);
  ASSERT_TRUE(std::holds_alternative<FitError>(out));
  EXPECT_EQ(std::get<FitError>(out).message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineRequestRefuses,
    ::testing::Values(
        BadCase{"NoStart", [](EngineOptions& o) { o.starts.clear(); },
                "starts needs at least one starting vector"},
        BadCase{"ShortStart", [](EngineOptions& o) { o.starts[1].pop_back(); },
                "starts needs 4 values, got 3"},
        BadCase{"ShortHeld", [](EngineOptions& o) { o.held.pop_back(); },
                "held needs 4 flags, got 3"},
        BadCase{"EmptyBox", [](EngineOptions& o) { o.lower[3] = 1.5; },
                "the box of CPE1.alpha is empty: (1.5, 1.0)"},
        BadCase{"NanStart", [](EngineOptions& o) { o.starts[1][0] = NAN; },
                "starting value of R0.r must be finite, got NaN"},
        BadCase{"Weight", [](EngineOptions& o) { o.weight = "prop"; },
                "unknown weight scheme \"prop\", expected \"modulus\" or \"unit\""},
        BadCase{"Search", [](EngineOptions& o) { o.search = "deep"; },
                "search must be \"thorough\", \"quick\" (a quarter of the starts) or \"local\" "
                "(the multi-start alone), got \"deep\""},
        BadCase{"EffortZero", [](EngineOptions& o) { o.effort = 0; },
                "effort must be 1 to 16: multiplies the search's draws, screened starts, "
                "polishes and hops, got 0"},
        BadCase{"EffortAboveTheCap", [](EngineOptions& o) { o.effort = kMaxEffort + 1; },
                "effort must be 1 to 16: multiplies the search's draws, screened starts, "
                "polishes and hops, got 17"},
        BadCase{"Ftol", [](EngineOptions& o) { o.lm.ftol = -0.0; },
                "ftol must be a positive finite number, got -0.0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Termination, EveryReasonHasANameAndAMessage) {
  for (int t = 0; t <= int(Termination::SearchConverged); ++t) {
    EXPECT_NE(termination_name(Termination(t)), "unknown");
    EXPECT_NE(termination_message(Termination(t)), "unknown termination");
  }
}

}  // namespace
}  // namespace kelvara
