// The formula language's tokeniser, recursive-descent parser and tape
// builder (with constant folding and dead-slot removal).

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

#include "elements/formula.hpp"
#include "elements/formula_math.hpp"
#include "support/utf8.hpp"

namespace kelvara {
namespace {

constexpr std::array<std::string_view, 10> kFunctions = {"sqrt", "exp",  "log", "sinh", "cosh",
                                                         "tanh", "coth", "sin", "cos",  "tan"};
constexpr std::array<FormulaOp, 10> kFunctionOps = {
    FormulaOp::Sqrt, FormulaOp::Exp,  FormulaOp::Log, FormulaOp::Sinh, FormulaOp::Cosh,
    FormulaOp::Tanh, FormulaOp::Coth, FormulaOp::Sin, FormulaOp::Cos,  FormulaOp::Tan};
constexpr std::array<std::string_view, 5> kNames = {"j", "w", "f", "pi", "e"};
constexpr int kMaxIntegerPower = 64;
constexpr std::size_t kMaxSlots = 60000;  // fits the 16-bit operand indices

bool is_letter(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_space(char32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string quoted(std::u32string_view s) {
  std::string out = "\"";
  for (char32_t c : s) {
    if (c >= 0x20 && c < 0x7f) {
      out += char(c);
    } else {
      out += "U+";
      constexpr char kHex[] = "0123456789ABCDEF";
      for (int shift = 20; shift >= 0; shift -= 4) {
        if (shift >= 16 && ((c >> shift) & 0xF) == 0 && c < 0x10000) continue;
        out += kHex[(c >> shift) & 0xF];
      }
    }
  }
  return out + "\"";
}

std::string at_position(std::size_t position) { return " at position " + std::to_string(position); }

// Folds one instruction whose operands are constants.
Complex fold(FormulaOp op, Complex a, Complex b, double integer) {
  switch (op) {
    case FormulaOp::Neg:
      return {-a.real(), -a.imag()};
    case FormulaOp::Add:
      return cadd(a, b);
    case FormulaOp::Sub:
      return {a.real() - b.real(), a.imag() - b.imag()};
    case FormulaOp::Mul:
      return cmul(a, b);
    case FormulaOp::Div:
      return cdiv(a, b);
    case FormulaOp::PowInteger:
      return cpow_integer(a, int(integer));
    case FormulaOp::PowReal:
      return cpow(a, b.real());
    case FormulaOp::PowComplex:
      return cpow_complex(a, b);
    case FormulaOp::Sqrt:
      return csqrt(a);
    case FormulaOp::Exp:
      return cexp(a);
    case FormulaOp::Log:
      return clog(a);
    case FormulaOp::Sinh:
      return csinh_exact(a);
    case FormulaOp::Cosh:
      return ccosh(a);
    case FormulaOp::Tanh:
      return ctanh(a);
    case FormulaOp::Coth:
      return ccoth(a);
    case FormulaOp::Sin:
      return csin(a);
    case FormulaOp::Cos:
      return ccos(a);
    case FormulaOp::Tan:
      return ctan(a);
    default:
      return a;
  }
}

// Functions that map the real line into itself.
bool keeps_real(FormulaOp op) {
  switch (op) {
    case FormulaOp::Exp:
    case FormulaOp::Sinh:
    case FormulaOp::Cosh:
    case FormulaOp::Tanh:
    case FormulaOp::Coth:
    case FormulaOp::Sin:
    case FormulaOp::Cos:
    case FormulaOp::Tan:
      return true;
    default:
      return false;
  }
}

class Compiler {
 public:
  Compiler(std::u32string text, std::span<const std::string> parameters)
      : s_(std::move(text)), parameters_(parameters) {}

  std::optional<FormulaError> run(FormulaTape& tape) {
    skip_space();
    if (pos_ == s_.size()) return FormulaError{"empty formula", 0, false};
    std::uint16_t result = 0;
    if (auto e = sum(result, 0)) return e;
    if (pos_ != s_.size()) {
      if (at(')')) return error("unmatched \")\"");
      const char32_t c = s_[pos_];
      if (!(is_letter(c) || is_digit(c) || c == '(' || c == '.'))
        return error("unexpected character " + quoted(std::u32string_view(&s_[pos_], 1)));
      return error("expected an operator (+ - * / **) or the end of the formula");
    }
    tape = finish(result);
    return std::nullopt;
  }

 private:
  // --- characters ------------------------------------------------------
  bool at(char32_t c) const { return pos_ < s_.size() && s_[pos_] == c; }
  bool at_power() const {
    return at('^') || (at('*') && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*');
  }
  void skip_space() {
    while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
  }
  FormulaError error(const std::string& what) const { return error_at(what, pos_); }
  FormulaError error_at(const std::string& what, std::size_t position,
                        const std::string& hint = {}) const {
    return FormulaError{what + at_position(position) + hint, position, true};
  }

  // --- grammar -----------------------------------------------------------
  std::optional<FormulaError> sum(std::uint16_t& out, int depth) {
    if (auto e = product(out, depth)) return e;
    for (;;) {
      skip_space();
      const FormulaOp op = at('+')   ? FormulaOp::Add
                           : at('-') ? FormulaOp::Sub
                                     : FormulaOp::Constant;
      if (op == FormulaOp::Constant) return std::nullopt;
      ++pos_;
      std::uint16_t rhs = 0;
      if (auto e = product(rhs, depth)) return e;
      if (auto e = emit(op, out, rhs, out)) return e;
    }
  }

  std::optional<FormulaError> product(std::uint16_t& out, int depth) {
    if (auto e = unary(out, depth)) return e;
    for (;;) {
      skip_space();
      if (at_power()) return std::nullopt;  // handled by power(); never reached
      const FormulaOp op = at('*')   ? FormulaOp::Mul
                           : at('/') ? FormulaOp::Div
                                     : FormulaOp::Constant;
      if (op == FormulaOp::Constant) return std::nullopt;
      ++pos_;
      std::uint16_t rhs = 0;
      if (auto e = unary(rhs, depth)) return e;
      if (auto e = emit(op, out, rhs, out)) return e;
    }
  }

  std::optional<FormulaError> unary(std::uint16_t& out, int depth) {
    skip_space();
    if (at('+') || at('-')) {
      const bool negate = at('-');
      const std::size_t start = pos_;
      ++pos_;
      if (depth + 1 > kMaxFormulaNesting) return too_deep(start);
      if (auto e = unary(out, depth + 1)) return e;
      if (negate) return emit(FormulaOp::Neg, out, out, out);
      return std::nullopt;
    }
    return power(out, depth);
  }

  std::optional<FormulaError> power(std::uint16_t& out, int depth) {
    if (auto e = atom(out, depth)) return e;
    skip_space();
    if (!at_power()) return std::nullopt;
    const std::size_t start = pos_;
    pos_ += at('^') ? 1 : 2;
    if (depth + 1 > kMaxFormulaNesting) return too_deep(start);
    std::uint16_t exponent = 0;
    if (auto e = unary(exponent, depth + 1)) return e;
    return emit_power(out, exponent, out);
  }

  std::optional<FormulaError> atom(std::uint16_t& out, int depth) {
    skip_space();
    if (pos_ >= s_.size()) return error("unexpected end of formula: a value is missing");
    const std::size_t start = pos_;
    if (at('(')) {
      if (depth + 1 > kMaxFormulaNesting) return too_deep(start);
      ++pos_;
      if (auto e = sum(out, depth + 1)) return e;
      skip_space();
      if (!at(')')) return error_at("this parenthesis is never closed", start);
      ++pos_;
      return std::nullopt;
    }
    if (is_digit(s_[pos_]) || (at('.') && pos_ + 1 < s_.size() && is_digit(s_[pos_ + 1])))
      return number(out);
    if (is_letter(s_[pos_])) return name(out, depth);
    if (at(')')) return error("expected a value before \")\"");
    if (at('*') || at('/') || at('^')) return error("expected a value before this operator");
    return error("unexpected character " + quoted(std::u32string_view(&s_[pos_], 1)));
  }

  std::optional<FormulaError> number(std::uint16_t& out) {
    const std::size_t start = pos_;
    std::string text;
    auto take_digits = [&] {
      while (pos_ < s_.size() && is_digit(s_[pos_])) text += char(s_[pos_++]);
    };
    take_digits();
    if (at('.')) text += char(s_[pos_++]), take_digits();
    if ((at('e') || at('E')) && pos_ + 1 < s_.size()) {
      std::size_t look = pos_ + 1;
      if (s_[look] == '+' || s_[look] == '-') ++look;
      if (look < s_.size() && is_digit(s_[look])) {
        while (pos_ < look) text += char(s_[pos_++]);
        take_digits();
      }
    }
    if (text.size() > 64) return error_at("number too long", start);
    double value = 0.0;  // from_chars: no locale, no allocation
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec != std::errc{} || !std::isfinite(value))
      return error_at("number out of range " + quoted(std::u32string(text.begin(), text.end())),
                      start);
    const bool imaginary = at('j') && !(pos_ + 1 < s_.size() && is_letter(s_[pos_ + 1]));
    if (imaginary) ++pos_;
    if (pos_ < s_.size() && (is_letter(s_[pos_]) || is_digit(s_[pos_]) || at('.')))
      return error("expected an operator after the number (write 2*w, not 2w)");
    out = constant(imaginary ? Complex{0.0, value} : Complex{value, 0.0});
    return std::nullopt;
  }

  std::optional<FormulaError> name(std::uint16_t& out, int depth) {
    const std::size_t start = pos_;
    while (pos_ < s_.size() && (is_letter(s_[pos_]) || is_digit(s_[pos_]))) ++pos_;
    const std::u32string word(s_.begin() + std::ptrdiff_t(start),
                              s_.begin() + std::ptrdiff_t(pos_));
    const std::string ascii(word.begin(), word.end());  // letters and digits only
    for (std::size_t k = 0; k < kFunctions.size(); ++k) {
      if (ascii != kFunctions[k]) continue;
      skip_space();
      if (!at('('))
        return error_at("function " + quoted(word) + " needs its argument in parentheses", start);
      if (depth + 1 > kMaxFormulaNesting) return too_deep(pos_);
      const std::size_t open = pos_++;
      std::uint16_t argument = 0;
      if (auto e = sum(argument, depth + 1)) return e;
      skip_space();
      if (!at(')')) return error_at("this parenthesis is never closed", open);
      ++pos_;
      return emit(kFunctionOps[k], argument, argument, out);
    }
    if (ascii == "j") return out = constant({0.0, 1.0}), std::nullopt;
    if (ascii == "pi") return out = constant({M_PI, 0.0}), std::nullopt;
    if (ascii == "e") return out = constant({M_E, 0.0}), std::nullopt;
    if (ascii == "w" || ascii == "f") {
      out = leaf(ascii == "w" ? FormulaOp::Omega : FormulaOp::Hertz, 0);
      return std::nullopt;
    }
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
      if (ascii == parameters_[i]) {
        out = leaf(FormulaOp::Parameter, std::uint16_t(i));
        return std::nullopt;
      }
    }
    skip_space();
    if (at('(')) return error_at("unknown function " + quoted(word), start, known_functions());
    return error_at("unknown name " + quoted(word), start, known_names());
  }

  std::string known_functions() const {
    std::string out = " (functions: ";
    for (std::size_t k = 0; k < kFunctions.size(); ++k)
      out += (k ? ", " : "") + std::string(kFunctions[k]);
    return out + ")";
  }
  std::string known_names() const {
    std::string out = " (names: j, w, f, pi, e";
    for (const std::string& p : parameters_) out += ", " + p;
    return out + ")";
  }
  FormulaError too_deep(std::size_t position) const {
    return error_at("formula nested more than " + std::to_string(kMaxFormulaNesting) + " deep",
                    position);
  }

  // --- tape ----------------------------------------------------------------
  std::uint16_t push(FormulaInstruction in) {
    code_.push_back(in);
    return std::uint16_t(code_.size() - 1);
  }

  std::uint16_t constant(Complex value) {
    // Keyed by bits, so that equal constants share a slot (and NaN is a key too).
    std::pair<std::uint64_t, std::uint64_t> bits;
    const double re = value.real(), im = value.imag();
    std::memcpy(&bits.first, &re, sizeof re);
    std::memcpy(&bits.second, &im, sizeof im);
    if (auto it = constants_.find(bits); it != constants_.end()) return it->second;
    FormulaInstruction in{FormulaOp::Constant};
    in.constant = value;
    in.real = value.imag() == 0.0;
    return constants_[bits] = push(in);
  }

  // Parameters, w and f take one slot each however often they appear.
  std::uint16_t leaf(FormulaOp op, std::uint16_t index) {
    const int key = op == FormulaOp::Parameter ? index : (op == FormulaOp::Omega ? -1 : -2);
    if (auto it = leaves_.find(key); it != leaves_.end()) return it->second;
    FormulaInstruction in{op};
    in.a = index;
    in.real = true;
    in.varies = op != FormulaOp::Parameter;
    in.depends = op == FormulaOp::Parameter ? (1u << index) : 0u;
    return leaves_[key] = push(in);
  }

  bool is_constant(std::uint16_t slot) const { return code_[slot].op == FormulaOp::Constant; }

  std::optional<FormulaError> emit(FormulaOp op, std::uint16_t a, std::uint16_t b,
                                   std::uint16_t& out, double integer = 0.0) {
    if (code_.size() >= kMaxSlots) return error("formula too long");
    const bool unary = op == FormulaOp::Neg || op >= FormulaOp::Sqrt || op == FormulaOp::PowInteger;
    if (is_constant(a) && (unary || is_constant(b))) {
      out = constant(fold(op, code_[a].constant, code_[b].constant, integer));
      return std::nullopt;
    }
    // The same operation on the same operands is the same value: reuse its slot.
    const auto key = std::make_tuple(op, a, unary ? a : b, integer);
    if (auto it = seen_.find(key); it != seen_.end()) {
      out = it->second;
      return std::nullopt;
    }
    FormulaInstruction in{op};
    in.a = a;
    in.b = unary ? a : b;
    in.depends = code_[a].depends | code_[in.b].depends;
    in.varies = code_[a].varies || code_[in.b].varies;
    const bool both_real = code_[a].real && code_[in.b].real;
    switch (op) {
      case FormulaOp::Neg:
      case FormulaOp::Add:
      case FormulaOp::Sub:
      case FormulaOp::Mul:
      case FormulaOp::Div:
      case FormulaOp::PowInteger:
        in.real = both_real;
        break;
      default:
        in.real = keeps_real(op) && code_[a].real;
    }
    if (op == FormulaOp::PowInteger) in.constant = {integer, 0.0};
    out = seen_[key] = push(in);
    return std::nullopt;
  }

  std::optional<FormulaError> emit_power(std::uint16_t base, std::uint16_t exponent,
                                         std::uint16_t& out) {
    const FormulaInstruction& e = code_[exponent];
    if (e.op == FormulaOp::Constant && e.constant.imag() == 0.0) {
      const double p = e.constant.real();
      if (p == std::floor(p) && std::fabs(p) <= kMaxIntegerPower)
        return emit(FormulaOp::PowInteger, base, base, out, p);
    }
    return emit(e.real ? FormulaOp::PowReal : FormulaOp::PowComplex, base, exponent, out);
  }

  // Drops slots the result does not read, renumbering the rest.
  FormulaTape finish(std::uint16_t result) {
    std::vector<bool> live(code_.size(), false);
    live[result] = true;
    for (std::size_t i = result + 1; i-- > 0;) {
      if (!live[i]) continue;
      const FormulaInstruction& in = code_[i];
      if (in.op != FormulaOp::Constant && in.op != FormulaOp::Parameter &&
          in.op != FormulaOp::Omega && in.op != FormulaOp::Hertz)
        live[in.a] = live[in.b] = true;
    }
    std::vector<std::uint16_t> renumber(code_.size(), 0);
    FormulaTape tape;
    tape.parameter_count = parameters_.size();
    for (std::size_t i = 0; i <= result; ++i) {
      if (!live[i]) continue;
      FormulaInstruction in = code_[i];
      if (in.op == FormulaOp::Omega || in.op == FormulaOp::Hertz) tape.uses_frequency = true;
      if (in.op != FormulaOp::Constant && in.op != FormulaOp::Parameter &&
          in.op != FormulaOp::Omega && in.op != FormulaOp::Hertz) {
        in.a = renumber[in.a];
        in.b = renumber[in.b];
      }
      renumber[i] = std::uint16_t(tape.code.size());
      tape.code.push_back(in);
    }
    tape.uses = tape.code.back().depends;
    return tape;
  }

  std::u32string s_;
  std::span<const std::string> parameters_;
  std::size_t pos_ = 0;
  std::vector<FormulaInstruction> code_;
  std::map<int, std::uint16_t> leaves_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint16_t> constants_;
  std::map<std::tuple<FormulaOp, std::uint16_t, std::uint16_t, double>, std::uint16_t> seen_;
};

}  // namespace

bool is_reserved_formula_name(std::string_view name) {
  for (std::string_view n : kNames)
    if (name == n) return true;
  for (std::string_view n : kFunctions)
    if (name == n) return true;
  return false;
}

std::vector<std::string> formula_parameter_names(std::string_view text) {
  std::vector<std::string> out;
  if (text.size() > kMaxFormulaBytes) return out;
  const std::u32string s = decode_utf8(text);
  for (std::size_t i = 0; i < s.size();) {
    if (is_digit(s[i]) || s[i] == '.') {  // a number, its exponent and a j suffix included
      while (i < s.size() && (is_digit(s[i]) || is_letter(s[i]) || s[i] == '.')) ++i;
      continue;
    }
    if (!is_letter(s[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < s.size() && (is_letter(s[i]) || is_digit(s[i]))) ++i;
    const std::string word(s.begin() + std::ptrdiff_t(start), s.begin() + std::ptrdiff_t(i));
    std::size_t next = i;
    while (next < s.size() && is_space(s[next])) ++next;
    const bool called = next < s.size() && s[next] == '(';
    if (called || is_reserved_formula_name(word)) continue;
    if (std::find(out.begin(), out.end(), word) == out.end()) out.push_back(word);
  }
  return out;
}

FormulaCompilation compile_formula(std::string_view text, std::span<const std::string> parameters) {
  FormulaCompilation out;
  if (text.size() > kMaxFormulaBytes) {
    out.error = FormulaError{"formula longer than " + std::to_string(kMaxFormulaBytes) + " bytes",
                             0, false};
    return out;
  }
  if (parameters.size() > kMaxFormulaParameters) {
    out.error = FormulaError{"at most " + std::to_string(kMaxFormulaParameters) +
                                 " parameters, got " + std::to_string(parameters.size()),
                             0, false};
    return out;
  }
  FormulaTape tape;
  Compiler compiler(decode_utf8(text), parameters);
  if (auto e = compiler.run(tape)) {
    out.error = std::move(e);
  } else {
    out.tape = std::move(tape);
  }
  return out;
}

std::string formula_error_report(std::string_view text, const FormulaError& error) {
  std::string out = error.message;
  if (error.has_position) {
    out += "\n\n  ";
    // Control characters would break the echo's alignment: shown as spaces.
    for (char c : text) out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    out += "\n  ";
    out.append(error.position, ' ');
    out += '^';
  }
  out +=
      "\n\nformula syntax:\n"
      "  - numbers (1, 0.5, 2e-3, 1j), j (the imaginary unit), w (rad/s), f (Hz), pi, e and the "
      "parameters\n"
      "  - operators + - * / and ** (or ^) for powers, parentheses for grouping\n"
      "  - functions sqrt exp log sinh cosh tanh coth sin cos tan, e.g. \"R / sqrt(1 + j*w*tau)\"";
  return out;
}

}  // namespace kelvara
