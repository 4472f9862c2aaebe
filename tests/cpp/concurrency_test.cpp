// The worker pool's size and its maps against the serial path, the parallel
// paths called from many threads at once (impedance spectra, Jacobian
// columns, a whole fit) and the process-wide network caches. Each thread must
// see the serial result; the ThreadSanitizer build (scripts/tsan.sh) runs
// these to find data races.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"
#include "fit/jacobian.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "models/guesser_cache.hpp"
#include "models/registry.hpp"
#include "support/worker_pool.hpp"

namespace kelvara {
namespace {

constexpr int kThreads = 8;

template <class F>
void on_threads(F work) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&work, t] { work(t); });
  for (auto& thread : threads) thread.join();
}

std::vector<double> log_grid(std::size_t n) {
  std::vector<double> f(n);
  for (std::size_t i = 0; i < n; ++i) f[i] = std::pow(10.0, 5.0 - 7.0 * double(i) / double(n - 1));
  return f;
}

const SeriesList kTree = parse("L0-R0-(R1-W1,CPE1)-(R2,Zarc2)").tree;

TEST(PoolSize, EnvironmentPrecedence) {
  EXPECT_EQ(pool_size_from("4", "8", 2), 4u);
  EXPECT_EQ(pool_size_from("0", "8", 3), 3u);  // "0" means one per processor
  EXPECT_EQ(pool_size_from("many", "8", 3), 8u);
  EXPECT_EQ(pool_size_from("-2", "8", 3), 8u);
  EXPECT_EQ(pool_size_from("", nullptr, 3), 3u);
  EXPECT_EQ(pool_size_from(nullptr, "0", 5), 5u);
  EXPECT_EQ(pool_size_from("4x", "junk", 5), 5u);
  // Counts past oneTBB's own ceiling are cut to it; counts below it are kept.
  EXPECT_EQ(pool_size_from("1000000000000", "8", 4), 256u);
  EXPECT_EQ(pool_size_from(nullptr, "100000", 100), 400u);
  EXPECT_EQ(pool_size_from("300", nullptr, 100), 300u);
}

// Both the serial path (below the threshold) and the pool path give exactly
// the per-point evaluation, in input order, on every thread at once.
TEST(Concurrency, SharedTreeSpectraMatchThePointwiseEvaluation) {
  const SeriesList tree = parse("L0-R0-(R1-W1,CPE1)-(R2,Zarc2)-T3-Ws4").tree;
  ASSERT_FALSE(tree.empty());
  for (std::size_t n : {kParallelThreshold - 1, kParallelThreshold, 4 * kParallelThreshold}) {
    const auto f = log_grid(n);
    std::vector<Complex> expected(n);
    for (std::size_t i = 0; i < n; ++i) expected[i] = impedance(tree, f[i] * 6.283185307179586);
    std::vector<std::vector<Complex>> got(kThreads, std::vector<Complex>(n));
    on_threads([&](int t) {
      for (int k = 0; k < 3; ++k) impedance_spectrum(tree, f, got[std::size_t(t)]);
    });
    for (const auto& out : got) EXPECT_EQ(out, expected) << "n=" << n;
  }
}

struct Problem {
  explicit Problem(std::size_t points) : f(log_grid(points)), z(points) {
    impedance_spectrum(kTree, f, z);
  }
  std::vector<double> f;
  std::vector<Complex> z;
};

TEST(Concurrency, SharedProblemJacobiansMatchSerial) {
  Problem shared(300);
  const FitProblem problem(kTree, shared.f, shared.z, true);
  std::vector<double> params = param_values(kTree);
  for (double& p : params) p *= 1.1;
  const Eigen::MatrixXd expected = jacobian_columns(problem, params);
  std::vector<Eigen::MatrixXd> got(kThreads);
  on_threads([&](int t) { got[std::size_t(t)] = jacobian_columns(problem, params); });
  for (const auto& j : got) EXPECT_TRUE(j == expected);
}

TEST(Concurrency, FitsOfASharedTreeMatchSerial) {
  Problem data(60);
  const SeriesList start =
      rebuild(kTree, std::vector<double>{2e-6, 12, 40, 2, 1e-3, 0.7, 20, 1.5, 2e-3, 0.8});
  const LevenbergMarquardtOptions options{50, 1e-8, 1e-8};
  auto fit = [&] {
    return std::get<FitOutcome>(
        levenberg_marquardt_fit(FitProblem(start, data.f, data.z, true), options));
  };
  const auto expected = fit();
  std::vector<FitOutcome> got(kThreads);
  on_threads([&](int t) { got[std::size_t(t)] = fit(); });
  for (const auto& out : got) {
    EXPECT_EQ(out.params, expected.params);
    EXPECT_EQ(out.cost, expected.cost);
    EXPECT_EQ(out.impedance_evals, expected.impedance_evals);
  }
}

TEST(Concurrency, EveryThreadGetsTheOneCachedRegistryNetwork) {
  for (const models::Model& model : models::all()) {
    std::vector<const void*> seen(kThreads);
    on_threads([&](int t) { seen[std::size_t(t)] = &models::model_guesser(model); });
    for (const void* p : seen) EXPECT_EQ(p, &models::model_guesser(model));
  }
}

void put_u32(std::string& out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out.push_back(char((v >> (8 * k)) & 0xFF));
}

void put_string(std::string& out, const std::string& s) {
  put_u32(out, std::uint32_t(s.size()));
  out += s;
}

// A file that decodes (one output, no network tensors).
std::string minimal_weight_file() {
  std::string out = "EISNN001";
  const std::pair<std::string, std::string> metadata[] = {
      {"dilations", "1"}, {"estimator", "reactive_centroid"},
      {"circuit", "R0"},  {"param_names", "R0.r"},
      {"n_grid", "8"},    {"channels", "2"},
      {"kernel", "1"},    {"groups", "1"},
      {"alpha_min", "0"}, {"alpha_max", "1"}};
  put_u32(out, std::uint32_t(std::size(metadata)));
  for (const auto& [key, value] : metadata) put_string(out, key), put_string(out, value);
  const std::pair<std::string, std::uint32_t> tensors[] = {
      {"target_mean", 1}, {"target_std", 1}, {"log_params", 1}, {"scaling", 4}};
  put_u32(out, std::uint32_t(std::size(tensors)));
  for (const auto& [name, n] : tensors) {
    put_string(out, name);
    out += std::string{'\0', '\1'};  // binary32, rank 1
    put_u32(out, n);
    out += std::string(4 * n, '\0');
  }
  return out;
}

TEST(Concurrency, AFileNamedFromManyThreadsIsDecodedOnce) {
  const std::string path = ::testing::TempDir() + "kelvara_concurrency_test.eisnn";
  std::ofstream(path, std::ios::binary) << minimal_weight_file();
  std::vector<const Guesser*> seen(kThreads);
  on_threads([&](int t) {
    const auto loaded = models::load_external(path);
    if (const auto* g = std::get_if<models::GuesserPtr>(&loaded)) seen[std::size_t(t)] = g->get();
  });
  std::remove(path.c_str());
  ASSERT_NE(seen[0], nullptr);
  for (const Guesser* g : seen) EXPECT_EQ(g, seen[0]);
}

TEST(LoadExternal, KeepsTheEightMostRecentFiles) {
  static_assert(models::kExternalCacheEntries == 8);
  const std::string stem = ::testing::TempDir() + "kelvara_cache_bound_";
  std::vector<std::string> paths;
  std::vector<models::GuesserPtr> loaded;
  for (std::size_t i = 0; i < 12; ++i) {
    paths.push_back(stem + std::to_string(i) + ".eisnn");
    std::ofstream(paths.back(), std::ios::binary) << minimal_weight_file();
    const auto got = models::load_external(paths.back());
    ASSERT_TRUE(std::holds_alternative<models::GuesserPtr>(got));
    loaded.push_back(std::get<models::GuesserPtr>(got));
    // Earlier tests may have left files in the cache; eight new ones fill it.
    if (i >= 7) EXPECT_EQ(models::external_cache_size(), 8u) << "after " << i + 1 << " files";
  }
  // The last eight come back from the cache; the one before them is read again.
  for (std::size_t i = 4; i < 12; ++i) {
    EXPECT_EQ(std::get<models::GuesserPtr>(models::load_external(paths[i])), loaded[i]) << i;
  }
  EXPECT_NE(std::get<models::GuesserPtr>(models::load_external(paths[3])), loaded[3]);
  for (const std::string& path : paths) std::remove(path.c_str());
}

TEST(LoadExternal, NewBytesUnderTheOldSizeAndTimesAreDecodedAgain) {
  const std::string path = ::testing::TempDir() + "kelvara_cache_content_test.eisnn";
  std::string file = minimal_weight_file();
  std::ofstream(path, std::ios::binary) << file;
  const auto first = std::get<models::GuesserPtr>(models::load_external(path));
  EXPECT_EQ(std::get<models::GuesserPtr>(models::load_external(path)), first);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  // target_mean's only value becomes 0.5f, written in place; its times put back.
  file[file.find("target_mean") + std::string("target_mean").size() + 2 + 4 + 3] = '\x3f';
  std::ofstream(path, std::ios::binary | std::ios::in) << file;
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);
  const auto second = std::get<models::GuesserPtr>(models::load_external(path));
  std::remove(path.c_str());
  EXPECT_NE(second, first);
  EXPECT_EQ(second->target_mean, std::vector<double>{0.5});
}

}  // namespace
}  // namespace kelvara
