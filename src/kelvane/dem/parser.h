// Detector error models in the Stim DEM text format: the parsed model and its parse error.
//
// `DetectorErrorModel::parse(text)` reads `error(p)` instructions (targets `D<n>`, `L<n>` and the
// decomposition separator `^`), `detector` and `logical_observable` declarations,
// `shift_detectors`, `detector_separator` (accepted, no effect) and (nested) `repeat N { ... }`
// blocks. Instruction names match without regard to case, tags (`error[tag](p)`) are ignored
// and `#` starts a comment anywhere in a line. As in Stim, any other instruction is an error
// naming it and its line, a probability must lie in [0, 1], and a `}` must close a block.
// Observables are limited to L0..L255 (`kMaxObservables`), the ids one byte holds. Repeat blocks are expanded eagerly, with `shift_detectors` accumulating across
// repetitions, so the model holds every error mechanism with absolute detector ids; nesting
// depth is bounded by memory, not by the stack. The parse stops at the first fault and returns
// exactly one `ParseError`; it never throws.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "kelvane/core/tagged_error.h"
#include <vector>

namespace kelvane {

using DetectorId = std::uint32_t;
using ObservableId = std::uint8_t;

// Largest number of error mechanisms, targets and detector declarations that the eager
// expansion of repeat blocks may produce (counting the one pass made over a `repeat 0` body):
// an error counts one plus its targets, so memory stays bounded however many targets a
// repeated error names. Reached, the parse fails with `ExpansionTooLarge` before expanding.
inline constexpr std::uint64_t kMaxExpandedInstructions = std::uint64_t{1} << 25;

// Observable ids are 0 .. kMaxObservables - 1 (one byte each).
inline constexpr std::uint64_t kMaxObservables = 256;

// End of one component of a decomposed error: the component holds the detectors and
// observables from the previous component's ends (0 for the first) up to these offsets.
struct DemComponentEnd {
  std::uint32_t detectors_end = 0;
  std::uint32_t observables_end = 0;
  bool operator==(const DemComponentEnd&) const = default;
};

// One error mechanism. The target lists are flat, in text order (a repeated id is listed each
// time). When two or more `^`-separated components name detectors, the error is a Stim
// decomposition and `components` holds each component's end offsets; otherwise `components`
// is empty and the whole error is one component.
//
// The lists are read-only views into storage owned by the DetectorErrorModel that holds the
// error (repetitions of a repeat body share their observable and component lists), so an
// error stays valid as long as that model or any copy of it.
struct DemError {
  std::span<const DetectorId> detectors;
  std::span<const ObservableId> observables;
  double probability = 0.0;
  std::span<const DemComponentEnd> components;

  // Number of components (1 when `components` is empty).
  std::size_t component_count() const { return components.empty() ? 1 : components.size(); }
};

struct DetectorDecl {
  DetectorId id = 0;
  std::optional<std::array<double, 3>> coords;  // present when the line had a coordinate list
  // Coordinates the line declared (saturating at 255; 0 without a list). Only the first three
  // are kept in `coords`, padded with 0.0; a detector's time is its last declared coordinate.
  std::uint8_t coord_count = 0;
};

namespace dem_errors {
struct InvalidProbability { std::string text; };
struct MalformedTarget { std::string target; };
struct UnterminatedRepeat {};
struct InvalidRepeatCount { std::string count; };
struct MalformedDetectorCoords { std::string line; };
// Repeat blocks would expand to more than `limit` errors, targets and detector declarations.
struct ExpansionTooLarge { std::uint64_t limit; };
// An instruction name the DEM format does not have; `line` is 1-based.
struct UnknownInstruction { std::string name; std::uint64_t line; };
// A `}` with no open repeat block.
struct UnmatchedClose { std::uint64_t line; };
}  // namespace dem_errors

class ParseError
    : public TaggedError<dem_errors::InvalidProbability, dem_errors::MalformedTarget, dem_errors::UnterminatedRepeat,
                         dem_errors::InvalidRepeatCount, dem_errors::MalformedDetectorCoords,
                         dem_errors::ExpansionTooLarge, dem_errors::UnknownInstruction,
                         dem_errors::UnmatchedClose> {
 public:
  using TaggedError::TaggedError;

  // The display text, e.g. "malformed target 'L0'" or "unterminated repeat block".
  std::string to_string() const;
};

struct DetectorErrorModel {
  std::vector<DemError> errors;               // text order, repeat blocks expanded
  std::vector<DetectorDecl> detector_decls;   // first declaration of each id, in order
  std::uint64_t num_detectors = 0;            // 1 + largest detector id met, or 0
  std::uint64_t num_observables = 0;          // 1 + largest observable id counted, or 0
  // Owns the memory that the errors' target lists view; shared by copies of the model.
  std::vector<std::shared_ptr<const void>> target_storage;

  // Parses a whole DEM text. Never returns a partial model.
  static std::expected<DetectorErrorModel, ParseError> parse(std::string_view text);

  // Appends an error whose lists are copies of the arguments (for models built by hand). It
  // leaves the counts alone; the caller keeps them consistent with the ids used.
  DemError& add_error(std::span<const DetectorId> detectors, std::span<const ObservableId> observables,
                      double probability, std::span<const DemComponentEnd> components = {});
};

}  // namespace kelvane
