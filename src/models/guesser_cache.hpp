#pragma once
// The decoded networks, process-wide: each registry model's is decoded and
// validated once, on first use; files named by path are decoded once per
// path text and kept for the life of the process.

#include <memory>
#include <string>
#include <variant>

#include "models/registry.hpp"
#include "nn/guesser.hpp"

namespace kelvara::models {

using GuesserPtr = std::shared_ptr<const Guesser>;

// The model's network, or the text of why it cannot be used (decoding
// failed, or it does not fit its registry row). Computed once, thread-safe.
const std::variant<GuesserPtr, std::string>& model_guesser(const Model& model);

// The network in the file at `path`, read and decoded on the first request
// for that exact path text; failures are not kept, so a later call retries.
NnResult<GuesserPtr> load_external(const std::string& path);

// Files over this size are refused rather than read (a path may name a
// device that never ends).
inline constexpr std::size_t kMaxWeightFileBytes = std::size_t(256) << 20;

}  // namespace kelvara::models
