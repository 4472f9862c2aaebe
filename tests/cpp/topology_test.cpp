// Finding models by key and by topology, and the caches of decoded networks.

#include "models/topology.hpp"

#include <cstdio>
#include <fstream>

#include "models/guess_params.hpp"
#include "models/guesser_cache.hpp"
#include "models/registry.hpp"
#include "test_support.hpp"

namespace kelvara::models {
namespace {

TEST(Canonical, IgnoresLabelsAndOrderAndKeepsParameterSpans) {
  const Canonical a = canonical(parsed("R0-(R1,C1)"));
  const Canonical b = canonical(parsed("(R1,C2)-R3"));
  EXPECT_EQ(a.key, "[([C],[R]),R]");
  EXPECT_EQ(b.key, a.key);
  EXPECT_EQ(a.spans, (std::vector<Span>{{2, 1}, {1, 1}, {0, 1}}));
  EXPECT_EQ(b.spans, (std::vector<Span>{{1, 1}, {0, 1}, {2, 1}}));
  EXPECT_EQ(canonical(parsed("R0-(R1,CPE1)-(R2-W2,CPE2)")).key, "[([Cpe],[R,W]),([Cpe],[R]),R]");
  // "CPE" and "Cpe" are one kind.
  EXPECT_EQ(canonical(parsed("R0-(R1,Cpe1)")).key, canonical(parsed("R0-(R1,CPE1)")).key);
}

TEST(ModelRegistry, KeyLookupTrimsWhiteSpaceAndFoldsAsciiCaseOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Case folding and Unicode white space are checked from Python.
      {"Rc_L", "rc_l"},
      {"rc\xE2\x80\x8B", ""},  // zero-width space is not white space
      {"rc l", ""},
      {"sei_randles_w", ""}};
  for (const auto& [text, key] : cases) {
    const Model* m = model_by_key(text);
    EXPECT_EQ(m ? std::string(m->key) : "", key) << '"' << text << '"';
  }
}

struct FindCase {
  const char* circuit;
  const char* model;  // nullptr: none
  bool expanded;
};

class FindForTopology : public ::testing::TestWithParam<FindCase> {};

// Permutations that do match, registry circuits among them, are checked from Python.
TEST_P(FindForTopology, FindsTheRegistryModel) {
  const FindCase c = GetParam();
  const auto found = find_for_topology(parsed(c.circuit));
  if (!c.model) {
    EXPECT_FALSE(found) << c.circuit;
    return;
  }
  ASSERT_TRUE(found) << c.circuit;
  EXPECT_EQ(found->model->key, c.model);
  EXPECT_EQ(found->match.expanded, c.expanded);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FindForTopology,
    ::testing::Values(FindCase{"R3-(C2,R1)", "rc", false}, FindCase{"(R1,C1)-R0", "rc", false},
                      FindCase{"R0-(R1,CPE1)", "rq", false},  // not "rc": kinds differ
                      FindCase{"R0-Zarc1", "rq", true}, FindCase{"R0-K1-K2", "two_rc", true},
                      FindCase{"L1-R1-(R2,C2)", "rc_l", false},
                      FindCase{"R1-L1-(R2,C2)", "rc_l", false},
                      FindCase{"R0-(R1,C1)-(R2,CPE2)", nullptr, false},
                      FindCase{"R0-C1", nullptr, false}));

TEST(ModelGuesser, AModelWithoutWeightsReportsItOnEveryRequest) {
  const Model* model = nullptr;
  for (const Model& m : all()) {
    if (m.weights().empty()) model = &m;
  }
  if (!model) GTEST_SKIP() << "every network is built in";
  const std::string subject =
      "model \"" + std::string(model->key) + "\" has no trained weights in this build";
  const auto& first = model_guesser(*model);
  ASSERT_TRUE(std::holds_alternative<std::string>(first));
  EXPECT_EQ(std::get<std::string>(first), subject);
  EXPECT_EQ(&model_guesser(*model), &first);
  const SeriesList tree = parsed(model->circuit);
  const std::vector<double> f(param_count(tree), 1.0);
  const auto guessed = guess_params(tree, f, std::vector<Complex>(f.size(), 1.0), {});
  EXPECT_EQ(std::get<std::string>(guessed),
            (NnError{NnError::Kind::Unparsable, subject}.message()));
}

TEST(GuessParams, NoModelIsReportedBeforeThePointCount) {
  const auto guessed =
      guess_params(parsed("R0-C1"), std::vector<double>{1}, std::vector<Complex>{1}, {});
  EXPECT_EQ(std::get<std::string>(guessed), no_model_message());
}

// The other refusals, with their messages, are checked from Python.
TEST(LoadExternal, FailuresAreNotCachedAndMissingFilesSayWhy) {
  const std::string path = ::testing::TempDir() + "kelvara_load_external_test.eisnn";
  std::remove(path.c_str());
  auto missing = load_external(path);
  ASSERT_TRUE(std::holds_alternative<NnError>(missing));
  EXPECT_EQ(std::get<NnError>(missing).message(),
            "reading weights: No such file or directory (os error 2)");
  std::ofstream(path, std::ios::binary) << "EISNN00";  // truncated
  EXPECT_EQ(std::get<NnError>(load_external(path)).message(), "weight file is truncated");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kelvara::models
