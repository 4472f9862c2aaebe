#include "models/registry.hpp"

#include "support/utf8.hpp"

namespace kelvara::models {
namespace {

const std::array<Model, kModelCount> kModels = {{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

}  // namespace

const std::array<Model, kModelCount>& all() { return kModels; }

std::span<const std::uint8_t> Model::weights() const { return embedded_weights(key); }

std::vector<std::string> names() {
  std::vector<std::string> out;
  for (const Model& m : kModels) out.emplace_back(m.key);
  return out;
}

std::string quoted_names() {
  std::string out;
  for (const Model& m : kModels) {
    if (!out.empty()) out += ", ";
    out += '\'';
    out += m.key;
    out += '\'';
  }
  return out;
}

}  // namespace kelvara::models

namespace kelvara {
namespace {

char fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

}  // namespace

const models::Model* model_by_key(std::string_view text) {
  const std::string_view trimmed = trim_unicode(text);
  for (const models::Model& m : models::all()) {
    if (m.key.size() != trimmed.size()) continue;
    bool equal = true;
    for (std::size_t i = 0; i < trimmed.size() && equal; ++i)
      equal = fold_ascii(trimmed[i]) == m.key[i];
    if (equal) return &m;
  }
  return nullptr;
}

}  // namespace kelvara
