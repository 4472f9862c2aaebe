#pragma once
// Impedance formulas written by users: a small expression language of our
// own, compiled to a flat instruction tape and evaluated natively.
//
//   formula := sum END
//   sum     := product (("+" | "-") product)*
//   product := unary (("*" | "/") unary)*
//   unary   := ("+" | "-") unary | power
//   power   := atom (("**" | "^") unary)?        (right-associative, binds tighter than unary -)
//   atom    := number | number "j" | name | function "(" sum ")" | "(" sum ")"
//
// Names: j (the imaginary unit), w (angular frequency, rad/s), f (frequency,
// Hz), pi, e and the element's parameters. Functions: sqrt exp log sinh cosh
// tanh coth sin cos tan. White space is free. Nothing in a formula can reach
// anything but this arithmetic: it is parsed here, never handed to a host
// language. Positions in errors count Unicode characters.
//
// A tape is a list of instructions in SSA form (each writes the slot of its
// own index; the last slot is the result). Evaluating it allocates nothing
// per point: the slots live in a per-thread buffer that only grows.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "elements/complex_math.hpp"

namespace kelvara {

// Limits that keep any input cheap to reject and bounded to evaluate.
inline constexpr std::size_t kMaxFormulaBytes = 4096;
inline constexpr int kMaxFormulaNesting = 64;
inline constexpr std::size_t kMaxFormulaParameters = 8;

struct FormulaError {
  std::string message;   // ends with "at position N" where a position applies
  std::size_t position;  // Unicode characters from the start
  bool has_position = true;
};

// The multi-line report users see: the message, the formula echoed with a
// caret under the position, and a reminder of the language.
std::string formula_error_report(std::string_view text, const FormulaError& error);

enum class FormulaOp : std::uint8_t {
  Constant,   // constant
  Parameter,  // params[index]
  Omega,
  Hertz,
  Neg,
  Add,
  Sub,
  Mul,
  Div,
  PowInteger,  // a ** integer (small, exact by repeated multiplication)
  PowReal,     // a ** b, b real at every point (a constant or real expression)
  PowComplex,  // a ** b, b complex: exp(b log a)
  Sqrt,
  Exp,
  Log,
  Sinh,
  Cosh,
  Tanh,
  Coth,
  Sin,
  Cos,
  Tan,
};

struct FormulaInstruction {
  FormulaOp op;
  std::uint16_t a = 0;  // operand slots (or the parameter index)
  std::uint16_t b = 0;
  bool real = false;          // the result is real at every point (real arithmetic suffices)
  bool varies = false;        // the result depends on the frequency (else one value per block)
  std::uint32_t depends = 0;  // bit i: the result depends on parameter i
  Complex constant{};         // Constant's value; PowInteger's exponent in real()
};

struct FormulaTape {
  std::vector<FormulaInstruction> code;  // never empty; the result is the last slot
  std::size_t parameter_count = 0;
  std::uint32_t uses = 0;       // bit i: the formula depends on parameter i
  bool uses_frequency = false;  // w or f appears
};

struct FormulaCompilation {
  std::optional<FormulaTape> tape;
  std::optional<FormulaError> error;
};

// Compiles `text` for the parameters named in `parameters` (at most
// kMaxFormulaParameters; their order is the params order of evaluation).
FormulaCompilation compile_formula(std::string_view text, std::span<const std::string> parameters);

// Names a formula reserves (may not be parameter names).
bool is_reserved_formula_name(std::string_view name);

// The names in `text` that would be parameters (neither reserved nor a
// function's), each once, in order of first appearance; empty for a text
// too long to compile.
std::vector<std::string> formula_parameter_names(std::string_view text);

// The value at each of omegas (at most Element::kBlockPoints points), as
// real and imaginary parts; `params` holds parameter_count values.
void evaluate_formula_block(const FormulaTape& tape, const double* params,
                            std::span<const double> omegas, double* re, double* im);

// The exact derivatives with respect to every parameter at each of omegas
// (at most Element::kBlockPoints points), forward mode through the tape with
// the block's own values: parameter j's at row j of d_re and d_im, rows
// `row_stride` apart.
void evaluate_formula_block_derivatives(const FormulaTape& tape, const double* params,
                                        std::span<const double> omegas, double* d_re, double* d_im,
                                        std::size_t row_stride);

// The value at one omega and its exact derivative with respect to every
// parameter (forward mode: complex duals through the same tape), written to
// `derivatives` (parameter_count entries).
Complex evaluate_formula_derivatives(const FormulaTape& tape, const double* params, double omega,
                                     std::span<Complex> derivatives);

}  // namespace kelvara
