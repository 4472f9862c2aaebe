#pragma once
// The decoded networks, process-wide: each registry model's is decoded and
// validated once, on first use. Files named by path are kept by their
// resolved path and their bytes, read on every call, so a file whose
// content changed on disk is decoded again; only the few most recently used
// stay.

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

// The network in the file at `path`, read and decoded unless the same
// path with the same bytes was loaded before; failures are not kept, so a later call
// retries. Anything but a regular file (a FIFO, a directory, a device) is
// refused before it is read. Holds the cache's lock while it reads.
NnResult<GuesserPtr> load_external(const std::string& path);

// How many loaded files are kept, most recently used first.
inline constexpr std::size_t kExternalCacheEntries = 8;
std::size_t external_cache_size();

// Files over this size are refused rather than read (a path may name a
// device that never ends).
inline constexpr std::size_t kMaxWeightFileBytes = std::size_t(256) << 20;

}  // namespace kelvara::models
