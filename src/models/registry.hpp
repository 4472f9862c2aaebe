#pragma once
// The eleven reference circuits, each with the initial-guess network trained
// for it. A key can stand in for its notation wherever a circuit is built.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::models {

struct Model {
  std::string_view key;      // lower-case ASCII
  std::string_view circuit;  // notation the network was trained for

  // The weight file built into the module; empty when the build had none.
  std::span<const std::uint8_t> weights() const;
};

// The bytes of src/models/<key>.eisnn as embedded at build time (generated).
std::span<const std::uint8_t> embedded_weights(std::string_view key);

inline constexpr std::size_t kModelCount = 11;

const std::array<Model, kModelCount>& all();

// The keys in registry order.
std::vector<std::string> names();

// "'rc', 'rc_l', ..., 'sei_randles_wo'": the keys as messages quote them.
std::string quoted_names();

}  // namespace kelvara::models

namespace kelvara {

// The model whose key equals `text` trimmed of Unicode white space,
// ignoring ASCII letter case; the first in registry order wins.
const models::Model* model_by_key(std::string_view text);

}  // namespace kelvara
