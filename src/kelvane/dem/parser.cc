#include "kelvane/dem/parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kelvane/dem/line.h"
#include "kelvane/dem/text.h"

namespace kelvane {

std::string ParseError::to_string() const {
  struct Visitor {
    std::string operator()(const dem_errors::InvalidProbability& e) const {
      return "invalid probability '" + e.text + "' in error instruction";
    }
    std::string operator()(const dem_errors::MalformedTarget& e) const { return "malformed target '" + e.target + "'"; }
    std::string operator()(const dem_errors::UnterminatedRepeat&) const { return "unterminated repeat block"; }
    std::string operator()(const dem_errors::InvalidRepeatCount& e) const {
      return "invalid repeat count '" + e.count + "'";
    }
    std::string operator()(const dem_errors::MalformedDetectorCoords& e) const {
      return "malformed detector coords '" + e.line + "'";
    }
    std::string operator()(const dem_errors::ExpansionTooLarge& e) const {
      return "repeat blocks expand to more than " + std::to_string(e.limit) +
             " errors, targets and detector declarations";
    }
    std::string operator()(const dem_errors::UnknownInstruction& e) const {
      return "unknown instruction '" + e.name + "' on line " + std::to_string(e.line);
    }
    std::string operator()(const dem_errors::UnmatchedClose& e) const {
      return "'}' on line " + std::to_string(e.line) + " closes no repeat block";
    }
  };
  return std::visit(Visitor{}, kind());
}

DemError& DetectorErrorModel::add_error(std::span<const DetectorId> detectors,
                                        std::span<const ObservableId> observables, double probability,
                                        std::span<const DemComponentEnd> components) {
  struct Lists {
    std::vector<DetectorId> detectors;
    std::vector<ObservableId> observables;
    std::vector<DemComponentEnd> components;
  };
  auto lists = std::make_shared<Lists>(
      Lists{{detectors.begin(), detectors.end()}, {observables.begin(), observables.end()},
            {components.begin(), components.end()}});
  target_storage.push_back(lists);
  return errors.emplace_back(DemError{lists->detectors, lists->observables, probability, lists->components});
}

namespace {

using dem_text::classify;
using dem_text::detector_token;
using dem_text::Line;
using dem_text::LineKind;
using dem_text::next_token;
using dem_text::observable_token;
using dem_text::ProbabilityCache;
using dem_text::read_coords;
using dem_text::equals_ignore_case;
using dem_text::parse_decimal;
using dem_text::parse_unsigned;
using dem_text::trim;

constexpr std::uint64_t kDetectorIdLimit = std::numeric_limits<DetectorId>::max();

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// Fixed-size blocks that hand out contiguous runs of T which never move.
template <typename T>
class BlockArena {
 public:
  T* alloc(std::size_t n) {
    if (n > left_) {
      std::size_t size = std::max<std::size_t>(n, kBlock);
      blocks_.push_back(std::make_unique_for_overwrite<T[]>(size));
      next_ = blocks_.back().get();
      left_ = size;
    }
    T* out = next_;
    next_ += n;
    left_ -= n;
    return out;
  }
  T* copy(const T* src, std::size_t n) {
    if (n == 0) return nullptr;
    T* out = alloc(n);
    std::copy(src, src + n, out);
    return out;
  }

 private:
  static constexpr std::size_t kBlock = (std::size_t{1} << 18) / sizeof(T);
  std::vector<std::unique_ptr<T[]>> blocks_;
  T* next_ = nullptr;
  std::size_t left_ = 0;
};

// The target lists of a parsed model, which its errors view.
struct TargetStore {
  BlockArena<DetectorId> detectors;
  BlockArena<ObservableId> observables;
  BlockArena<DemComponentEnd> components;
};

// An error instruction inside a repeat body: ids relative to the shift in force where it runs.
struct ProtoError {
  double probability;
  const DetectorId* detectors;
  const ObservableId* observables;
  const DemComponentEnd* components;
  std::uint32_t det_count, obs_count, comp_count;
  std::uint32_t local_max;  // largest written detector id (when det_count > 0)
};

struct ProtoDecl {
  std::uint32_t local_id;
  std::uint8_t coord_count;  // coordinate parts written (saturating at 255); the first 3 are kept and shifted
  bool has_coords;
  std::array<double, 3> coords;
};

struct ProtoShift {
  std::uint64_t detectors;
  std::array<double, 3> coords;
};

struct ProtoRepeat {
  std::uint64_t count;
  std::uint32_t body_end;        // index of the first op after the body
  std::uint64_t work;            // errors and declarations of one pass over the body
  std::uint64_t errors;          // errors of one pass
  std::uint64_t shift;           // net detector shift of one pass
  std::array<double, 3> coords;  // net coordinate shift of one pass
};

enum class OpKind : std::uint8_t { Error, Decl, Shift, Repeat };

struct Op {
  OpKind kind;
  std::uint32_t index;  // into the vector of its kind
};

// The instructions of the outermost open repeat block, each body kept once.
struct Program {
  std::vector<Op> ops;
  std::vector<ProtoError> errors;
  std::vector<ProtoDecl> decls;
  std::vector<ProtoShift> shifts;
  std::vector<ProtoRepeat> repeats;
  void clear() {
    ops.clear();
    errors.clear();
    decls.clear();
    shifts.clear();
    repeats.clear();
  }
};

struct Shift {
  std::uint64_t detectors = 0;
  std::array<double, 3> coords{0.0, 0.0, 0.0};
};

// Reads a DEM text line by line. Instructions outside repeat blocks take effect at once; a
// repeat block is recorded as a program, with its body kept once, and expanded when its
// outermost block closes.
class Parser {
 public:
  Parser(std::string_view text, DetectorErrorModel& model, TargetStore& store)
      : text_(text), model_(model), store_(store) {}

  std::optional<ParseError> run() {
    // A generous guess from the text size: reserved pages that are never written cost nothing.
    model_.errors.reserve(text_.size() / 24 + 16);
    while (pos_ < text_.size()) {
      Line line = classify(next_line());
      std::optional<ParseError> err = read_line(line);
      if (err) return fault(std::move(*err), line.kind == LineKind::Repeat ? 1 : 0);
    }
    if (!open_.empty()) return ParseError(dem_errors::UnterminatedRepeat{});
    finish_decls();
    model_.num_detectors = max_detector_ < 0 ? 0 : static_cast<std::uint64_t>(max_detector_) + 1;
    model_.num_observables = max_observable_ < 0 ? 0 : static_cast<std::uint64_t>(max_observable_) + 1;
    return std::nullopt;
  }

 private:
  std::string_view next_line() {
    std::size_t nl = text_.find('\n', pos_);
    std::size_t end = nl == std::string_view::npos ? text_.size() : nl;
    std::string_view raw = text_.substr(pos_, end - pos_);
    if (!raw.empty() && raw.back() == '\r' && nl != std::string_view::npos) raw.remove_suffix(1);
    pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
    ++line_;
    return raw;
  }

  // A fault met inside a repeat body is reported only if that body is closed later; an
  // unclosed outer block comes first, as a block is read whole before its body is parsed.
  // `opened` is 1 when the faulty line itself opens a block.
  ParseError fault(ParseError err, std::size_t opened) {
    if (open_.empty()) return err;
    std::size_t depth = open_.size() + opened;
    while (pos_ < text_.size()) {
      Line line = classify(next_line());
      if (line.kind == LineKind::Repeat) ++depth;
      if (line.kind == LineKind::Close && --depth == 0) return err;
    }
    return ParseError(dem_errors::UnterminatedRepeat{});
  }

  std::optional<ParseError> read_line(const Line& line) {
    switch (line.kind) {
      case LineKind::Skip:
      case LineKind::Separator:  // marks detectors for display only; nothing to decode
        return std::nullopt;
      case LineKind::Unknown:
        return ParseError(dem_errors::UnknownInstruction{std::string(line.name), line_});
      case LineKind::Malformed:
        if (equals_ignore_case(line.name, "error")) {
          return ParseError(dem_errors::InvalidProbability{std::string(line.trimmed)});
        }
        return ParseError(dem_errors::MalformedTarget{std::string(line.trimmed)});
      case LineKind::Error:
        return read_error(line);
      case LineKind::Detector:
        return read_detector(line);
      case LineKind::Observable:
        return read_observable(line);
      case LineKind::Shift:
        return read_shift(line);
      case LineKind::Repeat:
        return open_repeat(line);
      case LineKind::Close:
        return close_repeat();
    }
    return std::nullopt;
  }

  std::optional<ParseError> read_error(const Line& line) {
    // line.rest starts with '('.
    std::string_view rest = line.rest.substr(1);
    std::size_t close = rest.find(')');
    if (close == std::string_view::npos) return ParseError(dem_errors::InvalidProbability{std::string(line.trimmed)});
    std::string_view prob_text = rest.substr(0, close);
    double p = 0.0;
    // A NaN fails the range check too.
    if (!probabilities_.parse(trim(prob_text), p) || !(p >= 0.0 && p <= 1.0)) {
      return ParseError(dem_errors::InvalidProbability{std::string(prob_text)});
    }

    dets_.clear();
    obs_.clear();
    comps_.clear();
    std::uint32_t local_max = 0;
    std::uint32_t components_with_detectors = 0;
    bool component_has_detector = false;
    bool component_empty = true;
    auto end_component = [&] {
      if (!component_empty) {
        comps_.push_back({static_cast<std::uint32_t>(dets_.size()), static_cast<std::uint32_t>(obs_.size())});
      }
      if (component_has_detector) ++components_with_detectors;
      component_has_detector = false;
      component_empty = true;
    };

    std::string_view targets = rest.substr(close + 1);
    std::string_view token;
    while (next_token(targets, token)) {
      if (token.size() == 1 && token[0] == '^') {
        end_component();
        continue;
      }
      if (token[0] == 'D') {
        std::optional<std::uint64_t> id = detector_token(token);
        if (!id) return ParseError(dem_errors::MalformedTarget{std::string(token)});
        auto d = static_cast<DetectorId>(*id);
        dets_.push_back(d);
        local_max = std::max(local_max, d);
        component_has_detector = true;
        component_empty = false;
        continue;
      }
      std::optional<std::uint64_t> o = observable_token(token);
      if (!o) return ParseError(dem_errors::MalformedTarget{std::string(token)});
      obs_.push_back(static_cast<ObservableId>(*o));
      component_empty = false;
    }
    end_component();
    // A single component (at most one with detectors) carries every target of the error.
    if (components_with_detectors < 2) comps_.clear();

    const std::uint32_t n_det = static_cast<std::uint32_t>(dets_.size());
    const std::uint32_t n_obs = static_cast<std::uint32_t>(obs_.size());
    const std::uint32_t n_comp = static_cast<std::uint32_t>(comps_.size());
    const ObservableId* obs = store_.observables.copy(obs_.data(), n_obs);
    const DemComponentEnd* comps = store_.components.copy(comps_.data(), n_comp);

    if (!open_.empty()) {
      ProtoError e{p, store_.detectors.copy(dets_.data(), n_det), obs, comps, n_det, n_obs, n_comp,
                   local_max};
      prog_.ops.push_back({OpKind::Error, static_cast<std::uint32_t>(prog_.errors.size())});
      prog_.errors.push_back(e);
      return std::nullopt;
    }
    // Outside any block: shift in place and emit.
    DetectorId* dets = store_.detectors.alloc(n_det);
    if (n_det) {
      std::uint64_t top = sat_add(local_max, shift_.detectors);
      if (top > kDetectorIdLimit) return id_overflow(top);
      max_detector_ = std::max(max_detector_, static_cast<std::int64_t>(top));
      const auto shift = static_cast<DetectorId>(shift_.detectors);
      for (std::uint32_t k = 0; k < n_det; ++k) dets[k] = dets_[k] + shift;
    }
    for (ObservableId o : obs_) max_observable_ = std::max<std::int64_t>(max_observable_, o);
    model_.errors.push_back(DemError{{dets, n_det}, {obs, n_obs}, p, {comps, n_comp}});
    return std::nullopt;
  }

  std::optional<ParseError> read_detector(const Line& line) {
    ProtoDecl d{};
    std::string_view tail = line.rest;
    std::size_t open = tail.find('(');
    if (open != std::string_view::npos) {
      std::size_t close = tail.find(')');
      if (close == std::string_view::npos || close < open) {
        return ParseError(dem_errors::MalformedDetectorCoords{std::string(line.trimmed)});
      }
      if (!read_coords(tail.substr(open + 1, close - open - 1), d.coords, d.coord_count)) {
        return ParseError(dem_errors::MalformedDetectorCoords{std::string(line.trimmed)});
      }
      d.has_coords = true;
      tail = tail.substr(close + 1);
    }
    std::string_view token;
    std::optional<std::uint64_t> id;
    while (!id && next_token(tail, token)) id = detector_token(token);
    if (!id) return ParseError(dem_errors::MalformedTarget{std::string(line.trimmed)});
    d.local_id = static_cast<std::uint32_t>(*id);
    if (open_.empty()) return declare(d);
    prog_.ops.push_back({OpKind::Decl, static_cast<std::uint32_t>(prog_.decls.size())});
    prog_.decls.push_back(d);
    return std::nullopt;
  }

  std::optional<ParseError> read_observable(const Line& line) {
    std::string_view rest = line.trimmed;
    std::string_view token;
    while (next_token(rest, token)) {
      if (token.size() < 2 || token[0] != 'L') continue;
      // An observable past L255 is refused as an error target is, not passed over.
      if (!observable_token(token) && parse_unsigned(token.substr(1), std::numeric_limits<std::uint64_t>::max())) {
        return ParseError(dem_errors::MalformedTarget{std::string(token)});
      }
      if (std::optional<std::uint64_t> id = observable_token(token)) {
        // Only declarations outside repeat bodies count towards the observables.
        if (open_.empty()) {
          max_observable_ = std::max<std::int64_t>(max_observable_, static_cast<std::int64_t>(*id));
        }
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<ParseError> read_shift(const Line& line) {
    ProtoShift s{};
    std::string_view rest = trim(line.rest);
    if (!rest.empty() && rest[0] == '(') {
      std::size_t close = rest.find(')');
      if (close == std::string_view::npos) {
        return ParseError(dem_errors::MalformedDetectorCoords{std::string(line.trimmed)});
      }
      std::uint8_t count = 0;
      if (!read_coords(rest.substr(1, close - 1), s.coords, count)) {
        return ParseError(dem_errors::MalformedDetectorCoords{std::string(line.trimmed)});
      }
      rest = rest.substr(close + 1);
    }
    std::string_view token;
    if (next_token(rest, token)) {
      std::optional<std::uint64_t> n = parse_unsigned(token, std::numeric_limits<std::uint64_t>::max());
      if (!n) return ParseError(dem_errors::MalformedTarget{std::string(token)});
      s.detectors = *n;
    }
    if (open_.empty()) {
      apply_shift(s.detectors, s.coords, 1);
      return std::nullopt;
    }
    prog_.ops.push_back({OpKind::Shift, static_cast<std::uint32_t>(prog_.shifts.size())});
    prog_.shifts.push_back(s);
    return std::nullopt;
  }

  std::optional<ParseError> open_repeat(const Line& line) {
    std::string_view rest = line.rest;
    std::string_view token;
    next_token(rest, token);
    std::optional<std::uint64_t> count = parse_unsigned(token, std::numeric_limits<std::uint64_t>::max());
    if (!count) return ParseError(dem_errors::InvalidRepeatCount{std::string(token)});
    open_.push_back(static_cast<std::uint32_t>(prog_.ops.size()));
    prog_.ops.push_back({OpKind::Repeat, static_cast<std::uint32_t>(prog_.repeats.size())});
    prog_.repeats.push_back(ProtoRepeat{*count, 0, 0, 0, 0, {0.0, 0.0, 0.0}});
    return std::nullopt;
  }

  // Closes the innermost open block and sums up one pass over its body; when the outermost
  // block closes, expands it.
  std::optional<ParseError> close_repeat() {
    if (open_.empty()) return ParseError(dem_errors::UnmatchedClose{line_});
    std::uint32_t op_index = open_.back();
    open_.pop_back();
    ProtoRepeat& r = prog_.repeats[prog_.ops[op_index].index];
    r.body_end = static_cast<std::uint32_t>(prog_.ops.size());
    for (std::uint32_t i = op_index + 1; i < r.body_end;) {
      const Op& op = prog_.ops[i];
      switch (op.kind) {
        case OpKind::Error: {
          // Memory follows the targets as well as the errors.
          const ProtoError& e = prog_.errors[op.index];
          r.work = sat_add(r.work, std::uint64_t{1} + e.det_count + e.obs_count);
          r.errors = sat_add(r.errors, 1);
          ++i;
          break;
        }
        case OpKind::Decl:
          r.work = sat_add(r.work, 1);
          ++i;
          break;
        case OpKind::Shift: {
          const ProtoShift& s = prog_.shifts[op.index];
          r.shift = sat_add(r.shift, s.detectors);
          for (int k = 0; k < 3; ++k) r.coords[k] += s.coords[k];
          ++i;
          break;
        }
        case OpKind::Repeat: {
          const ProtoRepeat& inner = prog_.repeats[op.index];
          // A `repeat 0` body is still read once (for the counts), without shifting.
          r.work = sat_add(r.work, sat_mul(inner.work, std::max<std::uint64_t>(inner.count, 1)));
          r.errors = sat_add(r.errors, sat_mul(inner.errors, inner.count));
          r.shift = sat_add(r.shift, sat_mul(inner.shift, inner.count));
          for (int k = 0; k < 3; ++k) r.coords[k] += inner.coords[k] * static_cast<double>(inner.count);
          i = inner.body_end;
          break;
        }
      }
    }
    if (!open_.empty()) return std::nullopt;

    // The outermost block: expand it now, unless that would exceed the limit.
    work_ = sat_add(work_, sat_mul(r.work, std::max<std::uint64_t>(r.count, 1)));
    if (work_ > kMaxExpandedInstructions) return ParseError(dem_errors::ExpansionTooLarge{kMaxExpandedInstructions});
    // Room for the expansion and a guess for the rest of the text.
    const std::uint64_t expanded = sat_mul(r.errors, r.count);
    if (model_.errors.capacity() - model_.errors.size() < expanded) {
      model_.errors.reserve(model_.errors.size() + expanded + (text_.size() - pos_) / 24);
    }
    std::optional<ParseError> err = exec(op_index, op_index + 1, true);
    prog_.clear();
    return err;
  }

  void apply_shift(std::uint64_t detectors, const std::array<double, 3>& coords, std::uint64_t times) {
    shift_.detectors = sat_add(shift_.detectors, sat_mul(detectors, times));
    for (int k = 0; k < 3; ++k) shift_.coords[k] += coords[k] * static_cast<double>(times);
  }

  static ParseError id_overflow(std::uint64_t id) {
    std::string token(1, 'D');
    token.append(std::to_string(id));
    return ParseError(dem_errors::MalformedTarget{std::move(token)});
  }

  // One repeat body being run by exec: its ops, the passes left after the current one, and
  // for a `repeat 0` body (run once, only counting) the shift to restore afterwards.
  struct Pass {
    std::uint32_t begin, end;
    std::uint64_t passes_left;
    bool emit;
    bool restore_shift;
    Shift saved;
  };

  // Runs the recorded ops [begin, end); `emit` false only counts (a `repeat 0` body). Nested
  // bodies are kept on an explicit stack rather than by recursion, so nesting depth is bounded
  // by memory, not by the thread's stack.
  std::optional<ParseError> exec(std::uint32_t begin, std::uint32_t end, bool emit) {
    passes_.clear();
    passes_.push_back(Pass{begin, end, 0, emit, false, {}});
    std::uint32_t i = begin;
    while (!passes_.empty()) {
      Pass& pass = passes_.back();
      if (i >= pass.end) {
        if (pass.passes_left > 0) {
          --pass.passes_left;
          i = pass.begin;
          continue;
        }
        if (pass.restore_shift) shift_ = pass.saved;
        i = pass.end;  // the op after a body is the enclosing body's next one
        passes_.pop_back();
        continue;
      }
      const Op& op = prog_.ops[i];
      switch (op.kind) {
        case OpKind::Error:
          if (auto err = expand_error(prog_.errors[op.index], pass.emit)) return err;
          ++i;
          break;
        case OpKind::Decl:
          if (auto err = declare(prog_.decls[op.index])) return err;
          ++i;
          break;
        case OpKind::Shift: {
          const ProtoShift& s = prog_.shifts[op.index];
          apply_shift(s.detectors, s.coords, 1);
          ++i;
          break;
        }
        case OpKind::Repeat: {
          const ProtoRepeat& r = prog_.repeats[op.index];
          if (r.work == 0) {
            // Nothing but shifts inside: apply them all at once.
            apply_shift(r.shift, r.coords, r.count);
            i = r.body_end;
          } else if (r.count == 0) {
            // The body still counts its detectors, observables and declarations once.
            passes_.push_back(Pass{i + 1, r.body_end, 0, false, true, shift_});
            ++i;
          } else {
            const bool emit_body = pass.emit;  // `pass` is invalidated by the push
            passes_.push_back(Pass{i + 1, r.body_end, r.count - 1, emit_body, false, {}});
            ++i;
          }
          break;
        }
      }
    }
    return std::nullopt;
  }

  std::optional<ParseError> expand_error(const ProtoError& e, bool emit) {
    if (e.det_count != 0) {
      std::uint64_t top = sat_add(e.local_max, shift_.detectors);
      if (top > kDetectorIdLimit) return id_overflow(top);
      max_detector_ = std::max(max_detector_, static_cast<std::int64_t>(top));
    }
    for (std::uint32_t k = 0; k < e.obs_count; ++k) {
      max_observable_ = std::max<std::int64_t>(max_observable_, e.observables[k]);
    }
    if (!emit) return std::nullopt;
    std::span<const DetectorId> dets(e.detectors, e.det_count);
    if (shift_.detectors != 0 && e.det_count != 0) {
      DetectorId* copy = store_.detectors.alloc(e.det_count);
      const auto shift = static_cast<DetectorId>(shift_.detectors);
      for (std::uint32_t k = 0; k < e.det_count; ++k) copy[k] = e.detectors[k] + shift;
      dets = {copy, e.det_count};
    }
    model_.errors.push_back(
        DemError{dets, {e.observables, e.obs_count}, e.probability, {e.components, e.comp_count}});
    return std::nullopt;
  }

  std::optional<ParseError> declare(const ProtoDecl& d) {
    std::uint64_t id = sat_add(d.local_id, shift_.detectors);
    if (id > kDetectorIdLimit) return id_overflow(id);
    max_detector_ = std::max(max_detector_, static_cast<std::int64_t>(id));
    DetectorDecl out{static_cast<DetectorId>(id), std::nullopt, 0};
    if (d.has_coords) {
      std::array<double, 3> c = d.coords;
      for (int k = 0; k < std::min<int>(d.coord_count, 3); ++k) c[k] += shift_.coords[k];
      out.coords = c;
      out.coord_count = d.coord_count;
    }
    decls_.push_back(out);
    return std::nullopt;
  }

  // Keeps the first declaration of every id, in declaration order.
  void finish_decls() {
    std::vector<std::uint32_t> order(decls_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return decls_[a].id < decls_[b].id; });
    std::vector<bool> keep(decls_.size(), false);
    for (std::size_t k = 0; k < order.size(); ++k) {
      if (k == 0 || decls_[order[k]].id != decls_[order[k - 1]].id) keep[order[k]] = true;
    }
    model_.detector_decls.reserve(decls_.size());
    for (std::size_t i = 0; i < decls_.size(); ++i) {
      if (keep[i]) model_.detector_decls.push_back(decls_[i]);
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::uint64_t line_ = 0;  // 1-based number of the line last read
  DetectorErrorModel& model_;
  TargetStore& store_;
  Program prog_;
  std::vector<std::uint32_t> open_;  // op indices of the open repeat blocks
  std::vector<Pass> passes_;         // exec's stack of bodies being run
  Shift shift_;
  std::uint64_t work_ = 0;  // errors and declarations expanded from repeat blocks so far
  std::int64_t max_detector_ = -1;
  std::int64_t max_observable_ = -1;
  std::vector<DetectorDecl> decls_;
  ProbabilityCache probabilities_;
  // Scratch lists of the error line being read.
  std::vector<DetectorId> dets_;
  std::vector<ObservableId> obs_;
  std::vector<DemComponentEnd> comps_;
};

}  // namespace

std::expected<DetectorErrorModel, ParseError> DetectorErrorModel::parse(std::string_view text) {
  auto store = std::make_shared<TargetStore>();
  DetectorErrorModel model;
  Parser parser(text, model, *store);
  if (std::optional<ParseError> err = parser.run()) return std::unexpected(std::move(*err));
  model.target_storage.push_back(std::move(store));
  return model;
}

}  // namespace kelvane
