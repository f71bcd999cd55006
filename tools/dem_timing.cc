// Times DEM parsing and graph building on one DEM file.
//
// Usage: dem_timing FILE [REPEATS]
// Prints one line per stage: "<stage> <best seconds> <mean seconds>" over REPEATS runs
// (default 5), followed by the model's counts. Exit status 1 on a read or parse failure.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "kelvane/dem/graph.h"
#include "kelvane/dem/parser.h"

namespace {

template <typename F>
void time_stage(const char* name, int repeats, F&& f) {
  double best = 1e300, total = 0.0;
  for (int i = 0; i < repeats; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = std::min(best, s);
    total += s;
  }
  std::printf("%s %.6f %.6f\n", name, best, total / repeats);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [REPEATS]\n", argv[0]);
    return 2;
  }
  int repeats = argc > 2 ? std::stoi(argv[2]) : 5;
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  std::stringstream buf;
  buf << in.rdbuf();
  const std::string text = buf.str();

  auto first = kelvane::DetectorErrorModel::parse(text);
  if (!first) {
    std::fprintf(stderr, "%s\n", first.error().to_string().c_str());
    return 1;
  }
  time_stage("parse", repeats, [&] {
    auto m = kelvane::DetectorErrorModel::parse(text);
    if (!m) std::abort();
  });
  std::size_t edges = 0;
  time_stage("graph", repeats, [&] { edges = kelvane::SpacetimeGraph::from_dem(*first).edges.size(); });
  std::printf("detectors %llu observables %llu errors %zu edges %zu\n",
              static_cast<unsigned long long>(first->num_detectors),
              static_cast<unsigned long long>(first->num_observables), first->errors.size(), edges);
  return 0;
}
