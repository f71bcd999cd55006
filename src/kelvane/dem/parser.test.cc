#include "kelvane/dem/parser.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "kelvane/dem/graph.h"

namespace kelvane {
namespace {

// Appends " <prefix><value>".
void put(std::string& out, const char* prefix, std::uint64_t value) {
  out += ' ';
  out += prefix;
  out += std::to_string(value);
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// A compact rendering of a model: "<detectors>/<observables>", then every error as
// "e(<p>)" with its targets (components of a decomposition separated by " ^"), then every
// declaration as "det<id>" with its coordinates.
std::string describe(const DetectorErrorModel& m) {
  std::string out = std::to_string(m.num_detectors) + "/" + std::to_string(m.num_observables);
  for (const DemError& e : m.errors) {
    out += " e(" + num(e.probability) + ")";
    if (e.components.empty()) {
      for (DetectorId d : e.detectors) put(out, "D", d);
      for (ObservableId o : e.observables) put(out, "L", o);
      continue;
    }
    std::uint32_t d0 = 0, o0 = 0;
    for (std::size_t c = 0; c < e.components.size(); ++c) {
      if (c) out += " ^";
      for (; d0 < e.components[c].detectors_end; ++d0) put(out, "D", e.detectors[d0]);
      for (; o0 < e.components[c].observables_end; ++o0) put(out, "L", e.observables[o0]);
    }
    EXPECT_EQ(d0, e.detectors.size());
    EXPECT_EQ(o0, e.observables.size());
  }
  for (const DetectorDecl& d : m.detector_decls) {
    put(out, "det", d.id);
    if (!d.coords) continue;
    for (int k = 0; k < 3; ++k) {
      out += k == 0 ? '(' : ',';
      out += num((*d.coords)[k]);
    }
    out += ')';
  }
  return out;
}

struct Accepted {
  const char* text;
  const char* model;
};

class ParseAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(ParseAccepts, GivesModel) {
  auto m = DetectorErrorModel::parse(GetParam().text);
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  EXPECT_EQ(describe(*m), GetParam().model);
}

INSTANTIATE_TEST_SUITE_P(
    Basics, ParseAccepts,
    ::testing::Values(
        Accepted{"", "0/0"}, Accepted{"\n\n  \t\n# only a comment\n   # indented\n", "0/0"},
        Accepted{"error(0.1) D0 D1 ^ L0", "2/1 e(0.1) D0 D1 L0"},
        Accepted{"error(0.1) D0\r\nerror(0.2) D1\r\n", "2/0 e(0.1) D0 e(0.2) D1"},
        Accepted{"  \terror(0.1) D0 \t ", "1/0 e(0.1) D0"}, Accepted{"error(0.1)D3", "4/0 e(0.1) D3"},
        Accepted{"error(0.1) D0 ^ L0 ^ L1", "1/2 e(0.1) D0 L0 L1"},
        Accepted{"error(0.1) ^ L63", "0/64 e(0.1) L63"}, Accepted{"error(0.1) D0 L255", "1/256 e(0.1) D0 L255"},
        Accepted{"error(0.1) D+5", "6/0 e(0.1) D5"},
        Accepted{"error(0.1) D007", "8/0 e(0.1) D7"},
        Accepted{"error(0.1) D4294967295", "4294967296/0 e(0.1) D4294967295"},
        Accepted{"error(0.1) D2 D2", "3/0 e(0.1) D2 D2"},
        Accepted{"repeat 1 {\nerror(0.1) D4294967295\n}", "4294967296/0 e(0.1) D4294967295"}, Accepted{"error(0.5)", "0/0 e(0.5)"},
        Accepted{"error(1) D0\nerror(0) D0\nerror(-0) D0", "1/0 e(1) D0 e(0) D0 e(-0) D0"},
        Accepted{"error( 0.25 ) D0", "1/0 e(0.25) D0"},
        Accepted{"detector(1, 2.5) D7", "8/0 det7(1,2.5,0)"},
        Accepted{"detector D7\ndetector(1,2,3) D7", "8/0 det7"},
        Accepted{"detector(1,2,3) D7\ndetector(4,5,6) D7\ndetector D2", "8/0 det7(1,2,3) det2"},
        Accepted{"detector(a,,3) D1", "2/0 det1(0,0,3)"}, Accepted{"detector() D1", "2/0 det1(0,0,0)"},
        Accepted{"detector(1,2,3,4) D1", "2/0 det1(1,2,3)"}, Accepted{"detector x D1 D2", "2/0 det1"},
        Accepted{"logical_observable L4", "0/5"},
        Accepted{"logical_observable", "0/0"}, Accepted{"logical_observable x L2 L7", "0/3"},
        Accepted{"repeat 3 {\nerror(0.1) D0\n}", "1/0 e(0.1) D0 e(0.1) D0 e(0.1) D0"},
        Accepted{"repeat 0 {\nerror(0.1) D0\n}", "1/0"}, Accepted{"repeat 3\nerror(0.1) D0\n}", "1/0 e(0.1) D0 e(0.1) D0 e(0.1) D0"},
        Accepted{"repeat 1 {\nlogical_observable L9\n}\nerror(0.1) D0", "1/0 e(0.1) D0"},
        Accepted{"ERROR(0.1) D0\nError(0.2) D1", "2/0 e(0.1) D0 e(0.2) D1"},
        Accepted{"detector_separator 1\nerror(0.1) D0\nDETECTOR_SEPARATOR[t] 2 3", "1/0 e(0.1) D0"},
        Accepted{"repeat\t3 {\nerror(0.1) D0\n}", "1/0 e(0.1) D0 e(0.1) D0 e(0.1) D0"},
        Accepted{"shift_detectors 5", "0/0"}));

// Behaviours of the published Stim format that plain line-by-line reading would get wrong.
INSTANTIATE_TEST_SUITE_P(
    StimFormat, ParseAccepts,
    ::testing::Values(
        Accepted{"error(0.1) D0 L0", "1/1 e(0.1) D0 L0"}, Accepted{"error(0.1) L5", "0/6 e(0.1) L5"},
        Accepted{"error(0.1) L0 D1 D2", "3/1 e(0.1) D1 D2 L0"},
        Accepted{"error(0.1) D0 ^ D1", "2/0 e(0.1) D0 ^ D1"},
        Accepted{"error(0.1) D0 D1 ^ D2 L0", "3/1 e(0.1) D0 D1 ^ D2 L0"},
        Accepted{"error(0.1) D3 L0 ^ ^ D1 ^ L1", "4/2 e(0.1) D3 L0 ^ D1 ^ L1"},
        Accepted{"error(0.1) ^ D0 ^", "1/0 e(0.1) D0"}, Accepted{"error(0.1) D0 L0 ^ L1", "1/2 e(0.1) D0 L0 L1"},
        Accepted{"error(0.1) D0 # note", "1/0 e(0.1) D0"}, Accepted{"error(0.1) D0#D1", "1/0 e(0.1) D0"},
        Accepted{"detector(1, 2) D3 # at (", "4/0 det3(1,2,0)"},
        Accepted{"repeat 2 { # twice\nerror(0.1) D0\n} # done", "1/0 e(0.1) D0 e(0.1) D0"},
        Accepted{"error[tag](0.1) D0", "1/0 e(0.1) D0"}, Accepted{"error[a#b](0.1) D0", "1/0 e(0.1) D0"},
        Accepted{"detector[t](1,2) D1", "2/0 det1(1,2,0)"}, Accepted{"detector[t] D1", "2/0 det1"},
        Accepted{"logical_observable[t] L3", "0/4"},
        Accepted{"shift_detectors[t] 2\nerror(0.1) D0", "3/0 e(0.1) D2"},
        Accepted{"repeat[t] 2 {\nerror(0.1) D0\n}", "1/0 e(0.1) D0 e(0.1) D0"},
        Accepted{"shift_detectors 5\nerror(0.1) D0 D1\ndetector D2", "8/0 e(0.1) D5 D6 det7"},
        Accepted{"repeat 3 {\nerror(0.1) D0 D1\nshift_detectors 2\n}", "6/0 e(0.1) D0 D1 e(0.1) D2 D3 e(0.1) D4 D5"},
        Accepted{"repeat 2 {\ndetector(1,0,0) D0\nshift_detectors(0,0,1) 1\n}\ndetector(0,0,0) D0",
                 "3/0 det0(1,0,0) det1(1,0,1) det2(0,0,2)"},
        Accepted{"shift_detectors(1,2,3) 4\ndetector(1,1,1) D0", "5/0 det4(2,3,4)"},
        Accepted{"shift_detectors(1,2,3) 0\ndetector(1,1) D0", "1/0 det0(2,3,0)"},
        Accepted{"shift_detectors(1,2) 0\ndetector D0\ndetector(5) D1", "2/0 det0 det1(6,0,0)"},
        Accepted{"detector D0\nshift_detectors 0\ndetector(1,1) D0", "1/0 det0"},
        Accepted{"repeat 2 {\nrepeat 3 {\nerror(0.1) D0\nshift_detectors 1\n}\nshift_detectors 10\n}",
                 "16/0 e(0.1) D0 e(0.1) D1 e(0.1) D2 e(0.1) D13 e(0.1) D14 e(0.1) D15"},
        Accepted{"repeat 2 {\nerror(0.1) D0 ^ D1 L0\nshift_detectors 2\n}", "4/1 e(0.1) D0 ^ D1 L0 e(0.1) D2 ^ D3 L0"},
        Accepted{"repeat 0 {\nshift_detectors 5\nerror(0.1) D0\ndetector(1) D1\n}\nerror(0.1) D1",
                 "7/0 e(0.1) D1 det6(1,0,0)"},
        Accepted{"repeat 18446744073709551615 {\nshift_detectors 0\n}\nerror(0.1) D1", "2/0 e(0.1) D1"},
        Accepted{"repeat 1000000000 {\nrepeat 1000000000 {\n}\n}", "0/0"},
        Accepted{"error(0.1)\xC2\xA0" "D0\xE3\x80\x80" "D1\xE2\x80\xA8", "2/0 e(0.1) D0 D1"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParseAccepts,
    ::testing::Values(Accepted{"error(1.) D0", "1/0 e(1) D0"}, Accepted{"error(.5) D0", "1/0 e(0.5) D0"},
                      Accepted{"error(+0.1) D0", "1/0 e(0.1) D0"}, Accepted{"error(1E-3) D0", "1/0 e(0.001) D0"},
                      Accepted{"error(2.5e-1) D0", "1/0 e(0.25) D0"}, Accepted{"error(1e-400) D0", "1/0 e(0) D0"},
                      Accepted{"error(0.0001333866998761607556) D0", "1/0 e(0.000133387) D0"}));

struct Rejected {
  const char* text;
  const char* message;
};

class ParseRejects : public ::testing::TestWithParam<Rejected> {};

TEST_P(ParseRejects, WithMessage) {
  auto m = DetectorErrorModel::parse(GetParam().text);
  ASSERT_FALSE(m.has_value()) << describe(*m);
  EXPECT_EQ(m.error().to_string(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ParseRejects,
    ::testing::Values(
        Rejected{"error(0.1) ^ L4294967296", "malformed target 'L4294967296'"},
        // As in Stim: unknown instructions, probabilities outside [0, 1] and stray braces.
        Rejected{"erorr(0.2) D1", "unknown instruction 'erorr' on line 1"},
        Rejected{"error(0.1) D0\n\n# c\n  mpp X0\ntick", "unknown instruction 'mpp' on line 4"},
        Rejected{"detectors D1", "unknown instruction 'detectors' on line 1"},
        Rejected{"{\n}", "unknown instruction '{' on line 1"},
        Rejected{"repeat 2 {\nerror(0.1) D0\nREPEATS 2 {\n}\n}", "unknown instruction 'REPEATS' on line 3"},
        Rejected{"error(0.1) D0\n}\nerror(0.1) D1", "'}' on line 2 closes no repeat block"},
        Rejected{"error (0.1) D0", "invalid probability 'error (0.1) D0' in error instruction"},
        Rejected{"error[t D0", "invalid probability 'error[t D0' in error instruction"},
        Rejected{"error(1.5) D0", "invalid probability '1.5' in error instruction"},
        Rejected{"error(-0.2) D0", "invalid probability '-0.2' in error instruction"},
        Rejected{"error(1.0000001) D0", "invalid probability '1.0000001' in error instruction"},
        Rejected{"error(NaN) D0", "invalid probability 'NaN' in error instruction"},
        Rejected{"error(INF) D0", "invalid probability 'INF' in error instruction"},
        Rejected{"error(-1e400) D0", "invalid probability '-1e400' in error instruction"},
        // Observables past one byte's L255.
        Rejected{"error(0.1) D0 L256", "malformed target 'L256'"},
        Rejected{"error(0.1) ^ L256", "malformed target 'L256'"},
        Rejected{"error(0.1) D0 ^ L1000", "malformed target 'L1000'"},
        Rejected{"logical_observable L300", "malformed target 'L300'"},
        Rejected{"repeat 2 {\nlogical_observable L256\n}", "malformed target 'L256'"},
        // The expansion limit counts targets: a few hundred bytes may not ask for gigabytes.
        Rejected{"repeat 33554432 {\nerror(0.1) D0 D1 D2 D3 D4 D5 D6 D7 D8 D9 L0 L1 L2 L3 L4 L5 L6 L7 L8 L9\n}",
                 "repeat blocks expand to more than 33554432 errors, targets and detector declarations"}, Rejected{"error(0.1) D-5", "malformed target 'D-5'"},
        Rejected{"error(0.1) D", "malformed target 'D'"}, Rejected{"error(0.1) D+", "malformed target 'D+'"},
        Rejected{"error(0.1) D++1", "malformed target 'D++1'"}, Rejected{"error(0.1) D1x", "malformed target 'D1x'"},
        Rejected{"error(0.1) D4294967296", "malformed target 'D4294967296'"},
        Rejected{"error(0.1) X0", "malformed target 'X0'"}, Rejected{"error(0.1) d0", "malformed target 'd0'"},
        Rejected{"error(0.1) D0 ^^ D1", "malformed target '^^'"},
        Rejected{"error(abc) D0", "invalid probability 'abc' in error instruction"},
        Rejected{"error() D0", "invalid probability '' in error instruction"},
        Rejected{"error( x ) D0", "invalid probability ' x ' in error instruction"},
        Rejected{"  error(0.5 D0  ", "invalid probability 'error(0.5 D0' in error instruction"},
        Rejected{"error(0x1p-3) D0", "invalid probability '0x1p-3' in error instruction"},
        Rejected{"error(1_000) D0", "invalid probability '1_000' in error instruction"},
        Rejected{"error(1e) D0", "invalid probability '1e' in error instruction"},
        Rejected{"error(.) D0", "invalid probability '.' in error instruction"},
        Rejected{"error(nan(1)) D0", "invalid probability 'nan(1' in error instruction"},
        Rejected{"error(0. 1) D0", "invalid probability '0. 1' in error instruction"},
        Rejected{"error(0.1#) D0", "invalid probability 'error(0.1' in error instruction"},
        Rejected{"detector(1,2,3 D7", "malformed detector coords 'detector(1,2,3 D7'"},
        // Coordinates that are not finite, as Stim refuses them (also past the third).
        Rejected{"detector(nan) D0", "malformed detector coords 'detector(nan) D0'"},
        Rejected{"detector(0, -INF) D0", "malformed detector coords 'detector(0, -INF) D0'"},
        Rejected{"detector(1, 2, 3, infinity) D0", "malformed detector coords 'detector(1, 2, 3, infinity) D0'"},
        Rejected{"repeat 2 {\ndetector(1e400, 0) D0\n}", "malformed detector coords 'detector(1e400, 0) D0'"},
        Rejected{"shift_detectors(NaN) 1", "malformed detector coords 'shift_detectors(NaN) 1'"},
        Rejected{"detector ) ( D1", "malformed detector coords 'detector ) ( D1'"},
        Rejected{"detector", "malformed target 'detector'"}, Rejected{"detector D0 (1,2)", "malformed target 'detector D0 (1,2)'"},
        Rejected{"detector_x", "unknown instruction 'detector_x' on line 1"}, Rejected{"detector D-1 # c", "malformed target 'detector D-1'"},
        Rejected{"repeat 2 {", "unterminated repeat block"},
        Rejected{"repeat 2 {\nrepeat 3 {\n}\n", "unterminated repeat block"},
        Rejected{"repeat -1 {", "invalid repeat count '-1'"}, Rejected{"repeat x {\n}", "invalid repeat count 'x'"},
        Rejected{"repeat {", "invalid repeat count '{'"}, Rejected{"repeat # no count", "invalid repeat count ''"},
        Rejected{"repeat 18446744073709551616 {\n}", "invalid repeat count '18446744073709551616'"},
        Rejected{"repeat 2 {\nerror(x) D0\n", "unterminated repeat block"},
        Rejected{"repeat 2 {\nerror(x) D0\n}", "invalid probability 'x' in error instruction"},
        Rejected{"repeat 2 {\nrepeat x {\n}\n", "unterminated repeat block"},
        Rejected{"repeat 2 {\nrepeat x {\n}\n}", "invalid repeat count 'x'"},
        Rejected{"error(x) D0\nrepeat 2 {", "invalid probability 'x' in error instruction"},
        Rejected{"shift_detectors x", "malformed target 'x'"},
        Rejected{"shift_detectors 4294967295\nerror(0.1) D1", "malformed target 'D4294967296'"},
        Rejected{"repeat 1000000000000 {\nshift_detectors 1\n}\ndetector D0", "malformed target 'D1000000000000'"},
        Rejected{"repeat 100000000 {\nerror(0.1) D0\n}",
                 "repeat blocks expand to more than 33554432 errors, targets and detector declarations"},
        Rejected{"repeat 0 {\nrepeat 100000000 {\ndetector D0\n}\n}",
                 "repeat blocks expand to more than 33554432 errors, targets and detector declarations"}));

// Nesting is bounded by memory, not by the stack: deep texts parse (or fail) without
// recursion, also on a thread with a small stack.
TEST(DemModel, DeepNestingNeedsNoStack) {
  const std::size_t depth = 40000;
  std::string text;
  for (std::size_t k = 0; k < depth; ++k) text += "repeat 1 {\n";
  text += "error(0.1) D0\n";
  for (std::size_t k = 0; k < depth; ++k) text += "}\n";
  std::string outcome;
  auto run = [&] {
    auto m = DetectorErrorModel::parse(text);
    outcome = m ? describe(*m) : m.error().to_string();
    auto bad = DetectorErrorModel::parse(text.substr(0, text.size() - 2));
    outcome += bad ? std::string(" accepted") : " / " + bad.error().to_string();
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr, [](void* fn) -> void* { (*static_cast<decltype(run)*>(fn))(); return nullptr; }, &run),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(outcome, "1/0 e(0.1) D0 / unterminated repeat block");
}

TEST(DemModel, TargetListsOutliveTheParsedOriginal) {
  DetectorErrorModel copy;
  {
    auto m = DetectorErrorModel::parse("repeat 2 {\nerror(0.1) D0 D1 ^ D2 L3\nshift_detectors 3\n}");
    ASSERT_TRUE(m.has_value());
    copy = *m;
  }
  EXPECT_EQ(describe(copy), "6/4 e(0.1) D0 D1 ^ D2 L3 e(0.1) D3 D4 ^ D5 L3");
  DetectorErrorModel moved = std::move(copy);
  EXPECT_EQ(describe(moved), "6/4 e(0.1) D0 D1 ^ D2 L3 e(0.1) D3 D4 ^ D5 L3");
}

TEST(DemModel, AddErrorCopiesItsLists) {
  DetectorErrorModel m;
  {
    std::vector<DetectorId> dets{4, 2};
    std::vector<ObservableId> obs{1};
    m.add_error(dets, obs, 0.25);
    dets[0] = 9;
  }
  m.num_detectors = 5;
  m.num_observables = 2;
  EXPECT_EQ(describe(m), "5/2 e(0.25) D4 D2 L1");
}

TEST(DemModel, LargeRepeatsExpandWithDistinctIds) {
  auto m = DetectorErrorModel::parse("repeat 1000 {\nerror(0.01) D0 D1\ndetector(0, 0, 0) D1\nshift_detectors(0, 0, 1) 1\n}");
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->errors.size(), 1000u);
  EXPECT_EQ(m->num_detectors, 1001u);
  for (std::size_t i = 0; i < m->errors.size(); ++i) {
    ASSERT_EQ(m->errors[i].detectors.size(), 2u);
    EXPECT_EQ(m->errors[i].detectors[0], i);
    EXPECT_EQ(m->errors[i].detectors[1], i + 1);
  }
  ASSERT_EQ(m->detector_decls.size(), 1000u);
  EXPECT_EQ(m->detector_decls[999].id, 1000u);
  EXPECT_EQ((*m->detector_decls[999].coords)[2], 999.0);
}

TEST(DemModel, ErrorAlternativesAreDistinct) {
  auto m = DetectorErrorModel::parse("error(0.1) L0");
  ASSERT_TRUE(m.has_value());
  auto bad = DetectorErrorModel::parse("error(0.1) L0 D");
  ASSERT_FALSE(bad.has_value());
  EXPECT_TRUE(bad.error().is<dem_errors::MalformedTarget>());
  EXPECT_EQ(bad.error().as<dem_errors::MalformedTarget>().target, "D");
  EXPECT_TRUE(DetectorErrorModel::parse("repeat 1 {").error().is<dem_errors::UnterminatedRepeat>());
}

// Random texts made of DEM fragments: the parser returns a model or an error, never reads out
// of bounds (run under the sanitizers), and its models give graphs whose edges stay in range.
TEST(DemModel, RandomFragmentTextsParseOrFail) {
  static constexpr std::string_view kFragments[] = {
      "error", "error(", "error[t](", ")", "(", "0.1", "1e-3", "nan", "-inf", "D", "D0", "D+7", "D-1", "D9",
      "D4294967295", "L", "L0", "L255", "L256", "^", "detector", "detector(", "1, 2", ",",
      "logical_observable", "shift_detectors", "shift_detectors(0, 0, 1)", " 3", "repeat", "repeat 3 {",
      "repeat 0 {", "repeat 18446744073709551615 {", "{", "}", "#", "[", "]", " ", "\t", "\r", "\n", "\n",
      "\xC2\xA0", "\xE2\x80\xA8", "\xC3\xA9", std::string_view("\0", 1)};
  std::mt19937_64 rng(20261207);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kFragments) - 1), length(0, 60);
  std::size_t accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += kFragments[pick(rng)];
    auto m = DetectorErrorModel::parse(text);
    if (!m) {
      EXPECT_FALSE(m.error().to_string().empty());
      continue;
    }
    ++accepted;
    EXPECT_LE(m->num_observables, kMaxObservables);
    if (m->num_detectors > 100000) continue;  // one graph node per detector id
    SpacetimeGraph g = SpacetimeGraph::from_dem(*m);
    for (const SpacetimeEdge& e : g.edges) {
      ASSERT_LT(e.node_a, m->num_detectors) << text;
      ASSERT_LE(e.node_b, m->num_detectors) << text;
      for (ObservableId o : e.observables) ASSERT_LT(o, m->num_observables) << text;
    }
  }
  EXPECT_GT(accepted, 500u);
}

}  // namespace
}  // namespace kelvane
