// A model split into rounds, for decoding in windows a stream of syndrome rounds that may never end.
//
// A memory experiment's detector error model has a few first rounds, a block of rounds that
// repeats, and a few last rounds. `SlidingWindowModel` splits a model's decoding graph that way,
// given the round of every detector: each edge belongs to the earliest round among its
// detectors, and the round's edges are kept with their detectors written as (round offset,
// slot), the slot being a detector's rank by id among the detectors of its round. Two rounds
// match when they have the same size and the same edges in the same order (same slots, offsets,
// weights and observables). The repeating block is found around the middle round: the period P
// (1 to 4 rounds) whose run of rounds matching the round P later (or earlier) is longest, the
// shortest period on a tie (Stim may write a model whose rounds alternate between two
// decompositions, so its period is 2). The head is what precedes that run, the tail what
// follows it. A stream of N rounds is the model stretched to N rounds: stream round j takes the
// edges of model round j in the head, of model round j - N + T in the tail (T: the model's
// round count), and of the run's round of the same phase, head + (j - head) mod P, otherwise;
// N - T must be a multiple of P. The whole stream's graph is never built.
//
// A graph that keeps its decomposed mechanisms gives a model that keeps them too: each round
// edge that is a component of a mechanism names it by the round the mechanism starts in (its
// components' earliest round, given as rounds back from the edge's) and its rank there (the
// place, in that round's edge list, of its first component in that round), with its
// probability. Rounds match only when these agree too. A window's graph groups its edges into
// mechanisms by those names, so correlated decoding works on windows; a mechanism reaching
// rounds outside the window keeps the components inside it.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kelvane/dem/graph.h"

namespace kelvane {

// Why a model or a stream cannot be decoded in windows; `to_string` is the display text.
struct SlidingWindowError {
  std::string message;
  const std::string& to_string() const { return message; }
};
template <typename T>
using SlidingResult = std::expected<T, SlidingWindowError>;

using RoundIndex = std::uint64_t;     // a round of the stream (unbounded)
using ModelRound = std::uint32_t;     // a round of the model
using RoundSlot = std::uint32_t;      // a detector's rank among the detectors of its round

// The rounds of a graph's detectors from their time coordinate, the last one each declared
// (Stim writes (x, t) for repetition codes and (x, y, t) for surface codes; of longer lists only
// the first three are kept, and the third stands in): the distinct times in increasing order
// are rounds 0, 1, ... Fails when a detector declared no coordinates.
SlidingResult<std::vector<ModelRound>> detector_rounds(const SpacetimeGraph& graph);

class SlidingWindowModel {
 public:
  // One edge of a round: from slot `a` of the round to slot `b` of the round `b_delta` rounds
  // later, or to the boundary.
  struct RoundEdge {
    RoundSlot a = 0;
    RoundSlot b = 0;
    std::uint32_t b_delta = 0;
    bool to_boundary = false;
    float weight = 0.0f;
    std::vector<std::uint8_t> observables;
    // The decomposed mechanism the edge is a component of (see above), or kNoMechanism.
    std::uint32_t mechanism = kNoMechanism;
    std::uint32_t mechanism_back = 0;  // rounds from the mechanism's first round to the edge's
    double mechanism_probability = 0.0;
  };
  static constexpr std::uint32_t kNoMechanism = ~std::uint32_t{0};

  static constexpr std::uint32_t kMaxPeriod = 4;

  // Splits `graph` into rounds. `detector_round` gives the round of each detector (one entry per
  // detector, graph.boundary of them). Fails when the counts differ, or when the model has no
  // detector.
  static SlidingResult<SlidingWindowModel> build(const SpacetimeGraph& graph,
                                                 std::span<const ModelRound> detector_round);

  ModelRound round_count() const { return static_cast<ModelRound>(round_size_.size()); }
  // Whether the graph kept its decomposed mechanisms, so that windows can decode correlated.
  bool keeps_mechanisms() const { return keeps_mechanisms_; }
  ModelRound head_rounds() const { return head_; }
  ModelRound tail_rounds() const { return tail_; }
  // The repeating block: `period` rounds starting at the head's end.
  std::uint32_t period() const { return period_; }
  // The most rounds an edge reaches past the round it belongs to.
  std::uint32_t max_reach() const { return max_reach_; }
  std::uint32_t round_size(ModelRound r) const { return round_size_[r]; }
  std::uint32_t max_round_size() const { return max_round_size_; }
  std::span<const RoundEdge> round_edges(ModelRound r) const {
    return {edges_.data() + edge_start_[r], edges_.data() + edge_start_[r + 1]};
  }
  // Where a detector of the model sits.
  ModelRound round_of(std::uint32_t detector) const { return detector_round_[detector]; }
  RoundSlot slot_of(std::uint32_t detector) const { return detector_slot_[detector]; }
  std::size_t detector_count() const { return detector_round_.size(); }
  // The model round whose edges stream round j of a stream of `total` rounds takes.
  ModelRound model_round(RoundIndex j, std::optional<RoundIndex> total) const;
  // The common start of every window graph over stream rounds [first, first + length): the model
  // round of each window round, where each one's detectors start among the window's nodes, and a
  // graph of those nodes plus the boundary without edges (which edges a window takes depends on
  // how it treats its ends).
  std::shared_ptr<SpacetimeGraph> window_nodes(RoundIndex first, std::size_t length,
                                               std::optional<RoundIndex> total,
                                               std::vector<ModelRound>& model_rounds,
                                               std::vector<std::uint32_t>& round_start) const;
  // True when the repeating rounds between head and tail exceed a period plus the rounds an
  // edge reaches, so that the model can stand for streams of other lengths than its own.
  bool stretchable() const;
  // The fewest rounds a stream other than the model's own length must have: the head, the
  // tail, and enough repeating rounds between them for the head's edges to land on them.
  RoundIndex min_stream_rounds() const;
  // Whether a stream of `total` rounds fits: the model's own length, or (stretchable) at least
  // min_stream_rounds() and a whole number of periods longer or shorter than the model.
  bool fits(RoundIndex total) const;

  // Whether `other` has this model's rounds and edges (slots, reach, boundary, observables, the
  // mechanisms they belong to) in the same order, whatever their weights and probabilities.
  bool same_shape(const SlidingWindowModel& other) const;
  // This model with the weights of `learned` (built from a graph with the same mechanisms but
  // new probabilities, e.g. one learned from detection events), keeping this model's head, tail
  // and repeating block: each round of the repeating run takes, edge by edge, the mean
  // probability over the run's rounds of its phase, so that the result repeats where this one
  // does (estimates from shots differ from round to round by their noise, which would otherwise
  // leave no repeating block); the probabilities of the mechanisms edges belong to are pooled
  // alike. Head and tail rounds take their own. Fails when the shapes differ.
  SlidingResult<SlidingWindowModel> with_weights_of(const SlidingWindowModel& learned) const;

 private:
  std::vector<std::uint32_t> round_size_;
  std::vector<std::uint32_t> edge_start_;  // round_count + 1 offsets into edges_
  std::vector<RoundEdge> edges_;
  std::vector<ModelRound> detector_round_;
  std::vector<RoundSlot> detector_slot_;
  ModelRound head_ = 0;
  ModelRound tail_ = 0;
  std::uint32_t period_ = 1;
  std::uint32_t max_reach_ = 0;
  std::uint32_t max_round_size_ = 0;
  bool keeps_mechanisms_ = false;
};

}  // namespace kelvane
