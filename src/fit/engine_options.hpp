#pragma once
// kelvara_lab's engine request as its caller states it, and the one place
// that checks it and turns it into the search's request (search.hpp): the
// box met with the catalogue's, the held values taken from the first start,
// the starts clamped into the box, the search's starts scaled by effort.
// The binding only converts Python values into this record; every default
// comes from the option table (fit_option_table.hpp).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "circuit/node.hpp"
#include "fit/fit_error.hpp"
#include "fit/fit_option_table.hpp"
#include "fit/fit_options.hpp"
#include "fit/search.hpp"

namespace kelvara {

struct EngineOptions {
  // Physical, one value per parameter each; the first is the local fit's
  // start and gives the held parameters their values.
  std::vector<std::vector<double>> starts;
  std::vector<bool> held;     // one flag per parameter
  std::vector<double> lower;  // the caller's box, met with the catalogue's
  std::vector<double> upper;
  std::string weight{text_default_of(fit_option("weight"))};
  std::string search{text_default_of(engine_option("search"))};  // or "quick", "local"
  std::uint64_t seed = option_default_of<std::uint64_t>(engine_option("seed"));
  std::uint32_t effort = option_default_of<std::uint32_t>(engine_option("effort"));
  LevenbergMarquardtOptions lm;
};

// The request for `tree` fitted to the spectrum, or the error naming the
// option, its value and its rule (the first one broken, in keyword order).
FitResultOr<EngineRequest> engine_request(const SeriesList& tree,
                                          std::span<const double> frequencies_hz,
                                          std::span<const Complex> impedances,
                                          EngineOptions options);

}  // namespace kelvara
