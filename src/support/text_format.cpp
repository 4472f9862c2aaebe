#include "support/text_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace kelvara {
namespace {

// Shortest round-trip digits of |x| (finite) and the decimal exponent of the
// first digit: |x| = d1.d2d3... x 10^exponent.
struct Decimal {
  std::string digits;
  int exponent;
};

Decimal shortest_decimal(double x) {
  char buf[64];
  const auto res =
      std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  const std::string_view text(buf, res.ptr - buf);
  const auto e = text.find('e');
  Decimal d{{}, 0};
  for (char c : text.substr(0, e)) {
    if (c != '.') d.digits.push_back(c);
  }
  const auto exp_text = text.substr(e + 1);
  std::from_chars(exp_text.data() + (exp_text[0] == '+' ? 1 : 0), exp_text.data() + exp_text.size(),
                  d.exponent);
  return d;
}

bool special(double x, std::string& out) {
  if (std::isnan(x)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(x)) {
    out = x < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

std::string sign_of(double x) { return std::signbit(x) ? "-" : ""; }

}  // namespace

std::string format_plain(double x) {
  std::string out;
  if (special(x, out)) return out;
  const Decimal d = shortest_decimal(x);
  out = sign_of(x);
  const int n = int(d.digits.size());
  if (d.exponent >= 0) {
    if (n - 1 <= d.exponent) {
      out += d.digits;
      out.append(std::size_t(d.exponent - (n - 1)), '0');
    } else {
      out += d.digits.substr(0, std::size_t(d.exponent) + 1);
      out += '.';
      out += d.digits.substr(std::size_t(d.exponent) + 1);
    }
  } else {
    out += "0.";
    out.append(std::size_t(-d.exponent - 1), '0');
    out += d.digits;
  }
  return out;
}

std::string format_exponent(double x) {
  std::string out;
  if (special(x, out)) return out;
  const Decimal d = shortest_decimal(x);
  out = sign_of(x);
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out += d.digits.substr(1);
  }
  out += 'e';
  out += std::to_string(d.exponent);
  return out;
}

std::string format_debug(double x) {
  std::string out;
  if (special(x, out)) return out;
  const double a = std::fabs(x);
  if (a != 0.0 && (a < 1e-4 || a >= 1e16)) return format_exponent(x);
  out = format_plain(x);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string format_exponent_fixed(double x, int digits) {
  std::string out;
  if (special(x, out)) return out;
  char buf[128];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, digits);
  const std::string_view text(buf, res.ptr - buf);
  const auto e = text.find('e');
  int exponent = 0;
  const auto exp_text = text.substr(e + 1);
  std::from_chars(exp_text.data() + (exp_text[0] == '+' ? 1 : 0), exp_text.data() + exp_text.size(),
                  exponent);
  out.assign(text.substr(0, e));
  out += 'e';
  out += std::to_string(exponent);
  return out;
}

std::string format_param_value(double x) {
  const double a = std::fabs(x);
  if (std::isnan(x) || (std::isfinite(x) && a != 0.0 && (a < 1e-4 || a >= 1e6))) {
    return format_exponent(x);
  }
  return format_plain(x);
}

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(c));
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string debug_quote_list(std::span<const std::string> texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) out += (i ? ", " : "") + debug_quote(texts[i]);
  return out + "]";
}

}  // namespace kelvara
