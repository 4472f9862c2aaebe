// Decoding a weight file into a Guesser, checks in a fixed order.

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

#include "nn/guesser.hpp"
#include "nn/reader.hpp"

namespace kelvara {
namespace {

using Metadata = std::unordered_map<std::string, std::string>;

// Settings beyond these only come from forged files; refusing them keeps a
// bad file from asking for gigabytes of activations.
constexpr std::uint64_t kMaxGrid = 1 << 16;
constexpr std::uint64_t kMaxChannels = 1 << 12;
constexpr std::uint64_t kMaxKernel = 1 << 10;
constexpr std::uint64_t kMaxDilation = 1 << 16;
// Each activation holds channels x n_grid doubles (8 MiB at this bound);
// the trained networks use a few thousand.
constexpr std::uint64_t kMaxActivation = 1 << 20;

NnError truncated() { return {NnError::Kind::Truncated, {}}; }
NnError missing(std::string name) { return {NnError::Kind::Missing, std::move(name)}; }
NnError unparsable(std::string name) { return {NnError::Kind::Unparsable, std::move(name)}; }

// Optional "+", then decimal digits only.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

// Decimal floating point with optional sign, fraction, exponent; inf / nan.
std::optional<double> parse_float(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  double value = 0.0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
  return negative ? -value : value;
}

NnResult<std::string> meta(const Metadata& m, const std::string& key) {
  const auto it = m.find(key);
  if (it == m.end()) return missing(key);
  return it->second;
}

NnResult<std::uint64_t> meta_unsigned(const Metadata& m, const std::string& key,
                                      std::uint64_t max) {
  auto text = meta(m, key);
  if (auto* e = std::get_if<NnError>(&text)) return *e;
  const auto value = parse_unsigned(std::get<std::string>(text));
  if (!value || *value > max) return unparsable(key);
  return *value;
}

NnResult<double> meta_float(const Metadata& m, const std::string& key) {
  auto text = meta(m, key);
  if (auto* e = std::get_if<NnError>(&text)) return *e;
  const auto value = parse_float(std::get<std::string>(text));
  if (!value) return unparsable(key);
  return *value;
}

NnResult<Tensor> read_tensor_data(Reader& r, std::uint8_t encoding,
                                  std::vector<std::uint32_t> shape) {
  // N = max(1, product of dims); a product past the file's size can never be
  // backed by data, which also keeps it from overflowing.
  std::uint64_t n = 1;
  if (std::find(shape.begin(), shape.end(), 0u) == shape.end()) {
    for (std::uint32_t d : shape) {
      if (n > r.remaining() / d + 1) return truncated();
      n *= d;
    }
  }
  const std::uint64_t width = encoding == 0 ? 4 : encoding == 1 ? 2 : 1;
  if (n > r.remaining() / width + 1) return truncated();
  Tensor t{std::move(shape), {}};
  double scale = 1.0;
  if (encoding == 2) {
    const auto s = r.f32();
    if (!s) return truncated();
    scale = double(*s);
  }
  const auto bytes = r.take(n * width);
  if (!bytes) return truncated();
  t.data.resize(std::size_t(n));
  const std::uint8_t* b = bytes->data();
  for (std::size_t k = 0; k < t.data.size(); ++k) {
    if (encoding == 0) {
      const std::uint32_t bits = std::uint32_t(b[4 * k]) | std::uint32_t(b[4 * k + 1]) << 8 |
                                 std::uint32_t(b[4 * k + 2]) << 16 |
                                 std::uint32_t(b[4 * k + 3]) << 24;
      t.data[k] = double(std::bit_cast<float>(bits));
    } else if (encoding == 1) {
      t.data[k] = decode_half(std::uint16_t(b[2 * k] | b[2 * k + 1] << 8));
    } else {
      t.data[k] = scale * double(static_cast<std::int8_t>(b[k]));
    }
  }
  return t;
}

std::int32_t round_to_i32(double x) {
  if (std::isnan(x)) return 0;
  const double r = std::round(x);  // half away from zero
  if (r <= double(std::numeric_limits<std::int32_t>::min()))
    return std::numeric_limits<std::int32_t>::min();
  if (r >= double(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  return std::int32_t(r);
}

std::vector<std::string> split(std::string_view text, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == sep) {
      out.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

std::string_view trim_ascii(std::string_view s) {
  const auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

double decode_half(std::uint16_t bits) {
  const double sign = (bits & 0x8000) ? -1.0 : 1.0;
  const int e = (bits >> 10) & 0x1F;
  const int m = bits & 0x3FF;
  if (e == 0) return sign * std::ldexp(double(m), -24);
  if (e == 31)
    return m == 0 ? sign * std::numeric_limits<double>::infinity()
                  : std::numeric_limits<double>::quiet_NaN();
  return sign * std::ldexp(1.0 + double(m) / 1024.0, e - 15);
}

NnResult<Guesser> Guesser::from_bytes(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t kMagic[8] = {'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
  Reader r(bytes);
  const auto magic = r.take(8);
  if (!magic) return truncated();
  if (!std::equal(magic->begin(), magic->end(), kMagic))
    return NnError{NnError::Kind::BadMagic, {}};

  Metadata metadata;
  const auto m = r.u32();
  if (!m) return truncated();
  for (std::uint32_t i = 0; i < *m; ++i) {
    auto key = r.string();
    if (!key) return truncated();
    auto value = r.string();
    if (!value) return truncated();
    metadata[*key] = std::move(*value);  // a repeated key takes the last value
  }

  Guesser g;
  const auto t = r.u32();
  if (!t) return truncated();
  for (std::uint32_t i = 0; i < *t; ++i) {
    auto name = r.string();
    const auto encoding = r.u8();
    const auto rank = name && encoding ? r.u8() : std::nullopt;
    if (!rank) return truncated();
    std::vector<std::uint32_t> shape;
    for (int k = 0; k < *rank; ++k) {
      const auto d = r.u32();
      if (!d) return truncated();
      shape.push_back(*d);
    }
    if (*encoding > 2) return NnError{NnError::Kind::UnknownEncoding, {}, *encoding};
    auto tensor = read_tensor_data(r, *encoding, std::move(shape));
    if (auto* e = std::get_if<NnError>(&tensor)) return *e;
    g.tensors[*name] = std::move(std::get<Tensor>(tensor));
  }

  for (const char* name : {"target_mean", "target_std", "log_params", "scaling"}) {
    if (!g.tensors.count(name)) return missing(name);
  }
  g.target_mean = g.tensors.at("target_mean").data;
  g.target_std = g.tensors.at("target_std").data;
  for (double v : g.tensors.at("log_params").data) g.log_params.push_back(v != 0.0);
  const std::size_t p = g.target_mean.size();
  const auto& scaling = g.tensors.at("scaling").data;
  if (scaling.size() != 4 * p)
    return NnError{NnError::Kind::ShapeMismatch, "scaling", scaling.size(), 4 * p};
  for (std::size_t i = 0; i < p; ++i) {
    const std::int32_t index = round_to_i32(scaling[4 * i + 3]);
    // An index past the outputs would read out of range when scaling.
    if (index >= 0 && std::size_t(index) >= p) return unparsable("scaling");
    g.scaling.push_back({scaling[4 * i], scaling[4 * i + 1], scaling[4 * i + 2], index});
  }

  auto dilations = meta(metadata, "dilations");
  if (auto* e = std::get_if<NnError>(&dilations)) return *e;
  for (const std::string& piece : split(std::get<std::string>(dilations), ',')) {
    const auto d = parse_unsigned(trim_ascii(piece));
    if (!d || *d > kMaxDilation) return unparsable("dilations");
    g.dilations.push_back(std::size_t(*d));
  }

  auto estimator = meta(metadata, "estimator");
  if (auto* e = std::get_if<NnError>(&estimator)) return *e;
  if (std::get<std::string>(estimator) != "reactive_centroid") {
    return NnError{NnError::Kind::UnknownEstimator, std::get<std::string>(estimator)};
  }

  auto circuit = meta(metadata, "circuit");
  if (auto* e = std::get_if<NnError>(&circuit)) return *e;
  g.circuit = std::get<std::string>(circuit);
  auto names = meta(metadata, "param_names");
  if (auto* e = std::get_if<NnError>(&names)) return *e;
  g.param_names = split(std::get<std::string>(names), ',');
  // The outputs are read in the order of these names, one each.
  if (g.param_names.size() != p)
    return NnError{NnError::Kind::ShapeMismatch, "target_mean", p, g.param_names.size()};

  const std::pair<const char*, std::uint64_t> sizes[] = {{"n_grid", kMaxGrid},
                                                         {"channels", kMaxChannels},
                                                         {"kernel", kMaxKernel},
                                                         {"groups", kMaxChannels}};
  std::size_t* targets[] = {&g.n_grid, &g.channels, &g.kernel, &g.groups};
  for (int k = 0; k < 4; ++k) {
    auto value = meta_unsigned(metadata, sizes[k].first, sizes[k].second);
    if (auto* e = std::get_if<NnError>(&value)) return *e;
    *targets[k] = std::size_t(std::get<std::uint64_t>(value));
  }
  for (auto [key, target] :
       {std::pair{"alpha_min", &g.alpha_min}, std::pair{"alpha_max", &g.alpha_max}}) {
    auto value = meta_float(metadata, key);
    if (auto* e = std::get_if<NnError>(&value)) return *e;
    *target = std::get<double>(value);
  }
  if (g.n_grid * g.channels > kMaxActivation) return unparsable("channels");
  // Group norm divides the channels among the groups; clamping needs an
  // ordered, finite range.
  if (g.groups == 0) return unparsable("groups");
  if (!(g.alpha_min <= g.alpha_max)) return unparsable("alpha_min");
  return g;
}

NnResult<const Tensor*> Guesser::tensor(const std::string& name) const {
  const auto it = tensors.find(name);
  if (it == tensors.end()) return missing(name);
  return &it->second;
}

}  // namespace kelvara
