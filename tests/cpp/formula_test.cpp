// The formula language: values against std::complex references and the
// built-in elements, exact derivatives against finite differences, and
// hostile input rejected with a position.

#include "elements/formula.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "circuit/tree_derivatives.hpp"
#include "elements/custom_element.hpp"
#include "fit/driver.hpp"
#include "test_support.hpp"

namespace kelvara {
namespace {

using C = std::complex<double>;

FormulaTape compiled(const std::string& text, std::vector<std::string> names) {
  FormulaCompilation out = compile_formula(text, names);
  EXPECT_FALSE(out.error) << text << ": " << (out.error ? out.error->message : "");
  return out.tape ? *out.tape : FormulaTape{};
}

Complex value_at(const FormulaTape& tape, const std::vector<double>& p, double omega) {
  double re = 0.0, im = 0.0;
  evaluate_formula_block(tape, p.data(), {&omega, 1}, &re, &im);
  return {re, im};
}

void expect_close(Complex got, C want, double rel, const std::string& what) {
  const double scale = std::max(std::abs(want), 1e-300);
  EXPECT_LE(std::abs(C(got.real(), got.imag()) - want) / scale, rel)
      << what << ": got " << got << ", want " << want;
}

struct Reference {
  std::string formula;
  std::vector<std::string> names;
  std::vector<double> params;
  C (*reference)(const std::vector<double>&, double);
};

const std::vector<Reference>& references() {
  static const std::vector<Reference> all = {
      {"R / (1 + (j*w*tau)**alpha)**beta",
       {"R", "tau", "alpha", "beta"},
       {2.0, 1e-3, 0.9, 0.7},
       [](const std::vector<double>& p, double w) {
         return p[0] / std::pow(1.0 + std::pow(C(0, w * p[1]), p[2]), p[3]);
       }},
      {"1 / (Q * (j*w)^a)",
       {"Q", "a"},
       {1e-3, 0.8},
       [](const std::vector<double>& p, double w) {
         return 1.0 / (p[0] * std::pow(C(0, w), p[1]));
       }},
      {"Z0 * tanh(sqrt(j*w*tau)) / sqrt(j*w*tau)",
       {"Z0", "tau"},
       {3.0, 2.0},
       [](const std::vector<double>& p, double w) {
         const C x = std::sqrt(C(0, w * p[1]));
         return p[0] * std::tanh(x) / x;
       }},
      {"R * coth(sqrt(j*2*pi*f*t)) / sqrt(j*2*pi*f*t)",
       {"R", "t"},
       {1.0, 0.5},
       [](const std::vector<double>& p, double w) {
         const C x = std::sqrt(C(0, w * p[1]));
         return p[0] / std::tanh(x) / x;
       }},
      {"exp(-j*w*t) + log(1 + a*w) - sin(a) * cos(j*w*t) + cosh(a) * sinh(t) + tan(a*j)",
       {"a", "t"},
       {0.3, 1e-2},
       [](const std::vector<double>& p, double w) {
         return std::exp(C(0, -w * p[1])) + std::log(1.0 + p[0] * w) -
                std::sin(p[0]) * std::cos(C(0, w * p[1])) + std::cosh(p[0]) * std::sinh(p[1]) +
                std::tan(C(0, p[0]));
       }},
      {"-R**2 + 2e-1j * R**-3 + (j*w)**(1+1j*a) - e**a",
       {"R", "a"},
       {1.5, 0.25},
       [](const std::vector<double>& p, double w) {
         return -p[0] * p[0] + C(0, 0.2) / (p[0] * p[0] * p[0]) + std::pow(C(0, w), C(1, p[1])) -
                std::exp(p[1]);
       }},
  };
  return all;
}

class FormulaValues : public ::testing::TestWithParam<Reference> {};

TEST_P(FormulaValues, MatchStdComplexAcrossFrequencies) {
  const Reference& r = GetParam();
  const FormulaTape tape = compiled(r.formula, r.names);
  for (double w : {1e-3, 0.7, 31.0, 2e4})
    expect_close(value_at(tape, r.params, w), r.reference(r.params, w), 1e-12, r.formula);
}

TEST_P(FormulaValues, DerivativesMatchCentralDifferencesAndValuesTheBlock) {
  const Reference& r = GetParam();
  const FormulaTape tape = compiled(r.formula, r.names);
  for (double w : {1e-2, 3.0, 500.0}) {
    std::vector<Complex> d(r.params.size());
    const Complex v = evaluate_formula_derivatives(tape, r.params.data(), w, d);
    const Complex block = value_at(tape, r.params, w);
    // The block's vector powers and tanh are a few ulps from the scalar ones.
    expect_close(v, C(block.real(), block.imag()), 1e-14, r.formula);
    for (std::size_t i = 0; i < r.params.size(); ++i) {
      std::vector<double> up = r.params, down = r.params;
      const double h = 1e-6 * std::fabs(r.params[i]);
      up[i] += h, down[i] -= h;
      const C fd = (r.reference(up, w) - r.reference(down, w)) / (2 * h);
      const C got(d[i].real(), d[i].imag());
      // The difference quotient's own rounding: a few ulps of the value over the step.
      const double rounding = 1e-15 * std::abs(r.reference(r.params, w)) / h;
      EXPECT_LE(std::abs(got - fd), 1e-7 * std::abs(fd) + rounding)
          << r.formula << " d/d" << r.names[i] << " at w=" << w << ": " << got << " vs " << fd;
    }
  }
}

// Over a block the forward pass takes its values from the block's evaluation
// (vector powers and tanh, a few ulps from the scalar ones): the same
// derivatives as point by point, to rounding, each at its own row.
TEST_P(FormulaValues, BlockDerivativesAreThePointwiseOnes) {
  const Reference& r = GetParam();
  const FormulaTape tape = compiled(r.formula, r.names);
  const std::vector<double> omegas = {1e-3, 0.02, 3.0, 500.0, 7e4};
  const std::size_t p = r.params.size(), stride = 8;
  std::vector<double> d_re(p * stride, NAN), d_im(p * stride, NAN);
  evaluate_formula_block_derivatives(tape, r.params.data(), omegas, d_re.data(), d_im.data(),
                                     stride);
  for (std::size_t k = 0; k < omegas.size(); ++k) {
    std::vector<Complex> d(p);
    evaluate_formula_derivatives(tape, r.params.data(), omegas[k], d);
    for (std::size_t j = 0; j < p; ++j) {
      const Complex got{d_re[j * stride + k], d_im[j * stride + k]};
      const std::string what =
          r.formula + " d/d" + r.names[j] + " at w=" + std::to_string(omegas[k]);
      if (std::isfinite(std::abs(C(d[j].real(), d[j].imag())))) {
        expect_close(got, C(d[j].real(), d[j].imag()), 1e-13, what);
      } else {  // cosh of a large imaginary argument: not finite either way
        EXPECT_FALSE(std::isfinite(got.real()) && std::isfinite(got.imag())) << what;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formulas, FormulaValues, ::testing::ValuesIn(references()));

TEST(FormulaBlock, ManyPointsEqualOnePointAtATime) {
  const FormulaTape tape = compiled("R / (1 + (j*w*tau)**alpha)", {"R", "tau", "alpha"});
  const std::vector<double> p{2.0, 1e-3, 0.85};
  std::vector<double> w = {0.0, 1e-3, 1.0, 10.0, 1e6, INFINITY, NAN};
  std::vector<double> re(w.size()), im(w.size());
  evaluate_formula_block(tape, p.data(), w, re.data(), im.data());
  for (std::size_t k = 0; k < w.size(); ++k) {
    const Complex one = value_at(tape, p, w[k]);
    EXPECT_TRUE((re[k] == one.real() || (std::isnan(re[k]) && std::isnan(one.real()))) &&
                (im[k] == one.imag() || (std::isnan(im[k]) && std::isnan(one.imag()))))
        << "point " << k;
  }
}

bool same_bits_or_both_nan(double a, double b) {
  return std::isnan(a) ? std::isnan(b) : (a == b && std::signbit(a) == std::signbit(b));
}

// The block's value at every point against the per-point path's, bit for bit.
void expect_block_is_pointwise(const FormulaTape& tape, double a, const std::vector<double>& w,
                               const std::string& what) {
  std::vector<double> re(w.size()), im(w.size());
  evaluate_formula_block(tape, &a, w, re.data(), im.data());
  for (std::size_t k = 0; k < w.size(); ++k) {
    std::vector<Complex> unused(1);
    const Complex want = evaluate_formula_derivatives(tape, &a, w[k], unused);
    EXPECT_TRUE(same_bits_or_both_nan(re[k], want.real()) &&
                same_bits_or_both_nan(im[k], want.imag()))
        << what << " a=" << a << " w=" << w[k] << ": block " << Complex{re[k], im[k]} << ", point "
        << want;
  }
}

// The block takes square roots of real and of imaginary operands on their own
// fast loops; each must give csqrt's own value (the per-point path's), signed
// zeros, negatives, infinities and NaN included, mixed in a block, and in a
// block of positive frequencies that takes the fast loops whole.
TEST(FormulaBlock, SquareRootFastPathsGiveTheGeneralValueAtEveryPoint) {
  const std::vector<double> mixed = {0.0, -0.0, 1e-3, 2.0, -3.0, 1e6, INFINITY, -INFINITY, NAN};
  const std::vector<double> positive = {1e-3, 2.0, 1e6};
  for (const char* text : {"sqrt(w*a)", "sqrt(j*w*a)", "sqrt(1 + j*w*a)", "1/sqrt(w*a)"}) {
    const FormulaTape tape = compiled(text, {"a"});
    for (double a : {1.0, -1.0, -0.0, 0.0}) {
      expect_block_is_pointwise(tape, a, mixed, text);
      expect_block_is_pointwise(tape, a, positive, text);
    }
  }
}

TEST(FormulaBlock, UndefinedPointsPropagateAsNonFiniteValues) {
  // 1 / 0 and log 0 at a valid parameter set: the value says so, nothing throws.
  const FormulaTape tape = compiled("R / (w - w) + log(w * 0)", {"R"});
  const Complex z = value_at(tape, {1.0}, 5.0);
  EXPECT_FALSE(std::isfinite(z.real()) && std::isfinite(z.imag()));
  std::vector<Complex> d(1);
  const Complex v = evaluate_formula_derivatives(tape, std::vector<double>{1.0}.data(), 5.0, d);
  EXPECT_FALSE(std::isfinite(v.real()) && std::isfinite(v.imag()));
}

TEST(FormulaCompile, FoldsConstantsAndDropsWhatTheResultDoesNotRead) {
  const FormulaTape tape = compiled("(2 * pi + 1) * R + 0 * (3 - 4)", {"R"});
  for (const FormulaInstruction& in : tape.code) EXPECT_NE(in.op, FormulaOp::Sub);
  EXPECT_EQ(tape.uses, 1u);
  EXPECT_FALSE(tape.uses_frequency);
}

struct Hostile {
  std::string text;
  std::string message_part;
  std::size_t position;
};

class FormulaErrors : public ::testing::TestWithParam<Hostile> {};

TEST_P(FormulaErrors, AreReportedWithTheirPosition) {
  const Hostile& h = GetParam();
  const std::vector<std::string> names = {"R", "tau"};
  const FormulaCompilation out = compile_formula(h.text, names);
  ASSERT_TRUE(out.error) << h.text;
  EXPECT_NE(out.error->message.find(h.message_part), std::string::npos) << out.error->message;
  if (out.error->has_position) {
    EXPECT_EQ(out.error->position, h.position) << h.text;
    const std::string report = formula_error_report(h.text, *out.error);
    EXPECT_NE(report.find("\n  " + std::string(h.position, ' ') + "^"), std::string::npos)
        << report;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, FormulaErrors,
    ::testing::Values(Hostile{"__import__('os').system('ls')", "unknown function \"__import__\"",
                              0},
                      Hostile{"R; import os", "unexpected character \";\"", 1},
                      Hostile{"R)", "unmatched", 1}, Hostile{"(R", "never closed", 0},
                      Hostile{"", "empty formula", 0}, Hostile{"   ", "empty formula", 0},
                      Hostile{"R**", "value is missing", 3}, Hostile{"1e999*R", "out of range", 0},
                      Hostile{"exp(R", "never closed", 3}, Hostile{"foo(R)", "unknown function", 0},
                      Hostile{"R*x", "unknown name \"x\"", 2}, Hostile{"2w", "write 2*w", 1},
                      Hostile{"R R", "expected an operator", 2}, Hostile{"R·tau", "U+00B7", 1},
                      Hostile{"sqrt R", "needs its argument", 0},
                      Hostile{"R*/tau", "before this", 2},
                      Hostile{std::string(70, '(') + "R" + std::string(70, ')'), "nested", 64},
                      Hostile{std::string("R\0", 2), "unexpected character", 1},
                      Hostile{std::string(5000, 'R'), "longer than", 0},
                      Hostile{"R.tau", "expected an operator", 1}));

TEST(FormulaCompile, DeepUnaryAndPowerChainsAreBoundedNotRecursedWithoutLimit) {
  for (const std::string& text :
       {std::string(3000, '-') + "R", "R" + std::string(1000, '^') + "2", [] {
          std::string s = "R";
          for (int i = 0; i < 500; ++i) s += "**R";
          return s;
        }()}) {
    const FormulaCompilation out = compile_formula(text, std::vector<std::string>{"R"});
    EXPECT_TRUE(out.error) << text.substr(0, 20);
  }
}

TEST(FormulaNames, AreTheParametersAFormulaWouldTakeInOrder) {
  EXPECT_EQ(formula_parameter_names("R / (1 + (j*w*tau)**alpha)**beta + exp(-2e-3j*x) + R"),
            (std::vector<std::string>{"R", "tau", "alpha", "beta", "x"}));
  EXPECT_TRUE(formula_parameter_names(std::string(5000, 'R')).empty());
}

std::vector<CustomParameter> hn_parameters() {
  const double inf = INFINITY;
  return {{"R", "ohm", 1.0, {0.0, inf}, true},
          {"tau", "s", 1e-3, {0.0, inf}, true},
          {"alpha", "", 0.9, {0.0, 1.0}, false},
          {"beta", "", 0.8, {0.0, 1.0}, false}};
}

CustomDefinitionPtr defined(std::string code, std::string formula, std::vector<CustomParameter> p) {
  auto out = CustomDefinition::make(std::move(code), std::move(formula), std::move(p));
  if (auto* e = std::get_if<DefinitionError>(&out)) ADD_FAILURE() << e->message;
  return std::get_if<CustomDefinitionPtr>(&out) ? std::get<CustomDefinitionPtr>(out) : nullptr;
}

TEST(CustomDefinition, RefusesWhatAFitCouldNotUse) {
  const double inf = INFINITY;
  struct Case {
    std::string code, formula;
    std::vector<CustomParameter> params;
    std::string message_part;
  };
  const std::vector<Case> cases = {
      {"CPE", "R", {{"R", "ohm", 1, {0, inf}, true}}, "built-in"},
      {"H1", "R", {{"R", "ohm", 1, {0, inf}, true}}, "ASCII letters only"},
      {"HN",
       "R",
       {{"R", "ohm", 1, {0, inf}, true}, {"tau", "s", 1, {0, inf}, true}},
       "does not appear"},
      {"HN", "R", {{"R", "ohm", 1, {0, inf}, false}}, "open upper bound"},
      {"HN", "R", {{"R", "ohm", 1, {0, 2}, true}}, "log scale needs"},
      {"HN", "R", {{"R", "ohm", 5, {0, 2}, false}}, "outside its bounds"},
      {"HN", "R", {{"R", "ohm", 0, {0, inf}, true}}, "above its lower bound"},
      {"HN", "R", {{"w", "ohm", 1, {0, inf}, true}}, "reserved"},
      {"HN", "R*R", {{"R", "ohm", 1, {0, inf}, true}, {"R", "ohm", 1, {0, inf}, true}}, "twice"},
      {"HN", "R +", {{"R", "ohm", 1, {0, inf}, true}}, "^"},
      {"HN", "R", {{"R", "ohm", 1, {NAN, inf}, true}}, "lo < hi"},
  };
  for (const Case& c : cases) {
    auto out = CustomDefinition::make(c.code, c.formula, c.params);
    ASSERT_TRUE(std::holds_alternative<DefinitionError>(out)) << c.message_part;
    EXPECT_NE(std::get<DefinitionError>(out).message.find(c.message_part), std::string::npos)
        << std::get<DefinitionError>(out).message;
  }
}

TEST(CustomCircuit, ParsesOnlyWithACatalogueAndNamesItsParameters) {
  CustomCatalogue catalogue;
  catalogue.define(defined("HN", "R / (1 + (j*w*tau)**alpha)**beta", hn_parameters()));
  EXPECT_TRUE(parse("R0-HN1").error);  // kelvara's own notation is unchanged
  const ParseOutcome out = parse("R0-(HN1,C2)", &catalogue);
  ASSERT_FALSE(out.error);
  EXPECT_EQ(param_names(out.tree), (std::vector<std::string>{"R0.r", "HN1.R", "HN1.tau",
                                                             "HN1.alpha", "HN1.beta", "C2.c"}));
  EXPECT_EQ(param_units(out.tree)[2], "s");
  EXPECT_EQ(param_units(out.tree)[3], "-");
  EXPECT_EQ(param_bounds(out.tree)[4].hi, 1.0);
  const ParseOutcome bad = parse("R0-XY1", &catalogue);
  ASSERT_TRUE(bad.error);
  EXPECT_NE(parse_error_report("R0-XY1", *bad.error, &catalogue).find("HN    R [ohm], tau [s]"),
            std::string::npos);
}

TEST(CustomCircuit, RedefiningACodeLeavesCircuitsAlreadyBuiltAsTheyWere) {
  CustomCatalogue catalogue;
  catalogue.define(defined("X", "R", {{"R", "ohm", 2.0, {0, INFINITY}, true}}));
  const SeriesList before = parse("X1", &catalogue).tree;
  catalogue.define(defined("X", "2*R", {{"R", "ohm", 2.0, {0, INFINITY}, true}}));
  EXPECT_EQ(impedance(before, 1.0).real(), 2.0);
  EXPECT_EQ(impedance(parse("X1", &catalogue).tree, 1.0).real(), 4.0);
}

TEST(CustomCircuit, TreeDerivativesMatchCentralDifferencesOfTheWholeCircuit) {
  CustomCatalogue catalogue;
  catalogue.define(defined("HN", "R / (1 + (j*w*tau)**alpha)**beta", hn_parameters()));
  const SeriesList tree = parse("R0-p(HN1,CPE2-R3)-W4", &catalogue).tree;
  const std::vector<double> p = {0.1, 2.0, 1e-3, 0.85, 0.7, 1e-2, 0.8, 0.5, 0.3};
  for (double w : {0.05, 20.0, 3e3}) {
    std::vector<Complex> dz(p.size());
    impedance_derivatives(tree, p, w, dz);
    for (std::size_t i = 0; i < p.size(); ++i) {
      std::vector<double> up = p, down = p;
      const double h = 1e-6 * p[i];
      up[i] += h, down[i] -= h;
      const C zu(impedance(rebuild(tree, up), w).real(), impedance(rebuild(tree, up), w).imag());
      const C zd(impedance(rebuild(tree, down), w).real(),
                 impedance(rebuild(tree, down), w).imag());
      const C fd = (zu - zd) / (2 * h);
      const double rounding = 1e-15 * std::abs(zu) / h;
      EXPECT_LE(std::abs(C(dz[i].real(), dz[i].imag()) - fd), 1e-6 * std::abs(fd) + rounding)
          << "parameter " << i << " at w=" << w;
    }
  }
}

// The built-in CPE, Warburg and Gerischer written as formulas evaluate and
// fit like the built-ins.
struct Twin {
  std::string builtin, custom, formula;
  std::vector<CustomParameter> params;
  std::vector<double> truth;
};

class BuiltinTwins : public ::testing::TestWithParam<Twin> {};

TEST_P(BuiltinTwins, EvaluateAndFitToTheBuiltInsValues) {
  const Twin& t = GetParam();
  CustomCatalogue catalogue;
  catalogue.define(defined(t.custom, t.formula, t.params));
  const SeriesList mine = parse("R0-(R1," + t.custom + "1)", &catalogue).tree;
  const SeriesList theirs = parsed("R0-(R1," + t.builtin + "1)");
  const auto f = log_frequencies(1e5, 1e-2, 50);
  const std::vector<Complex> z = spectrum_of(rebuild(theirs, t.truth), f);
  const std::vector<Complex> zm = spectrum_of(rebuild(mine, t.truth), f);
  for (std::size_t k = 0; k < f.size(); ++k)
    expect_close(zm[k], C(z[k].real(), z[k].imag()), 1e-13, t.formula);
  // Noisy data, the same start: both fits end on the same minimum.
  std::vector<Complex> noisy = z;
  for (std::size_t k = 0; k < noisy.size(); ++k)
    noisy[k] = cscale(noisy[k], 1.0 + 0.01 * std::sin(7.0 * double(k)));
  std::vector<double> start = t.truth;
  for (double& v : start) v *= 1.2;
  start[3] = std::min(start[3], 0.95);
  FitOptions options;
  const auto a = run_fit(rebuild(theirs, start), f, noisy, options);
  const auto b = run_fit(rebuild(mine, start), f, noisy, options);
  ASSERT_TRUE(std::holds_alternative<FitOutcome>(a) && std::holds_alternative<FitOutcome>(b));
  const auto va = std::get<FitOutcome>(a).params, vb = std::get<FitOutcome>(b).params;
  for (std::size_t i = 0; i < va.size(); ++i)
    EXPECT_NEAR(vb[i], va[i], 1e-8 * std::fabs(va[i])) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Twins, BuiltinTwins,
    ::testing::Values(
        Twin{"CPE",
             "Q",
             "1/(q*(j*w)**alpha)",
             {{"q", "", 1e-3, {1e-12, INFINITY}, true}, {"alpha", "", 0.8, {0, 1}, false}},
             {0.05, 1.0, 2e-3, 0.82}},
        Twin{"Wo",
             "Wopen",
             "z0 / (sqrt(j*w*tau) * tanh(sqrt(j*w*tau)))",
             {{"z0", "ohm", 1, {1e-12, INFINITY}, true}, {"tau", "s", 10, {1e-12, INFINITY}, true}},
             {0.05, 1.0, 0.8, 2.0}},
        Twin{"G",
             "Ger",
             "rg / sqrt(1 + j*w*tg)",
             {{"rg", "ohm", 1, {1e-12, INFINITY}, true}, {"tg", "s", 1, {1e-12, INFINITY}, true}},
             {0.05, 1.0, 0.8, 0.01}}));

}  // namespace
}  // namespace kelvara
