#include "kelvane/decoder/matching/blossom.h"

#include <algorithm>
#include <limits>

namespace kelvane::matching {

void BlossomMatching::reset(std::size_t vertices) {
  n_ = vertices;
  edges_.clear();
  mate_.assign(vertices, kNone);
}

void BlossomMatching::add_edge(std::int32_t u, std::int32_t v, Weight w) { edges_.push_back({u, v, w}); }

void BlossomMatching::solve() {
  const std::size_t n = n_;
  if (n == 0 || edges_.empty()) return;
  const std::size_t slots = 2 * n;
  dual_.assign(slots, 0);
  top_.resize(n);
  parent_.assign(slots, kNone);
  base_.resize(slots);
  label_.assign(slots, kFree);
  label_from_.assign(slots, kNone);
  label_to_.assign(slots, kNone);
  if (children_.size() < slots) {
    children_.resize(slots);
    links_.resize(slots);
  }
  for (std::size_t b = n; b < slots; ++b) {
    children_[b].clear();
    links_[b].clear();
  }
  free_blossoms_.clear();
  for (std::size_t b = slots; b-- > n;) free_blossoms_.push_back(static_cast<std::int32_t>(b));
  mark_.assign(slots, 0);
  stamp_ = 0;
  Weight heaviest = 0;
  for (const Edge& e : edges_) heaviest = std::max(heaviest, e.w);
  for (std::size_t v = 0; v < n; ++v) {
    top_[v] = static_cast<std::int32_t>(v);
    base_[v] = static_cast<std::int32_t>(v);
    dual_[v] = heaviest;
  }
  for (std::size_t stage = 0; stage <= n; ++stage) {
    if (!run_stage()) break;
  }
}

bool BlossomMatching::run_stage() {
  const auto n = static_cast<std::int32_t>(n_);
  const auto slots = 2 * n;
  std::fill(label_.begin(), label_.end(), kFree);
  std::fill(label_from_.begin(), label_from_.end(), kNone);
  bool any_exposed = false;
  for (std::int32_t v = 0; v < n; ++v) {
    if (mate_[v] == kNone && label_[top_[v]] == kFree) {
      assign_label(v, kOuter, kNone);
      any_exposed = true;
    }
  }
  if (!any_exposed) return false;

  for (;;) {
    // Every step the current duals allow (edges of zero slack, inner blossoms of zero dual), in
    // one pass over the edges after another until none is left.
    for (bool acted = true; acted;) {
      acted = false;
      for (const Edge& e : edges_) {
        const std::int32_t bu = top_[e.u], bv = top_[e.v];
        if (bu == bv) continue;
        const Label lu = label_[bu], lv = label_[bv];
        if (lu != kOuter && lv != kOuter) continue;
        if (dual_[e.u] + dual_[e.v] != 2 * e.w) continue;
        if (lu == kOuter && lv == kOuter) {
          const std::int32_t common = common_outer(e.u, e.v);
          if (common == kNone) {
            augment(e.u, e.v);
            return finish_stage();
          }
          add_blossom(common, e.u, e.v);
          acted = true;
        } else if (lu == kFree || lv == kFree) {
          if (lu == kOuter) {
            assign_label(e.v, kInner, e.u);
          } else {
            assign_label(e.u, kInner, e.v);
          }
          acted = true;
        }
      }
      for (std::int32_t b = n; b < slots; ++b) {
        if (parent_[b] == kNone && !children_[b].empty() && label_[b] == kInner && dual_[b] == 0) {
          expand(b, true);
          acted = true;
        }
      }
    }
    // The least dual change that allows another step: an outer vertex's dual reaching zero (the
    // matching is then of maximum weight), an edge leaving an outer blossom becoming tight, an
    // inner blossom's dual reaching zero.
    Weight delta = std::numeric_limits<Weight>::max();
    for (std::int32_t v = 0; v < n; ++v) {
      if (label_[top_[v]] == kOuter && dual_[v] < delta) delta = dual_[v];
    }
    const Weight last = delta;
    for (const Edge& e : edges_) {
      const std::int32_t bu = top_[e.u], bv = top_[e.v];
      if (bu == bv) continue;
      const Label lu = label_[bu], lv = label_[bv];
      if (lu != kOuter && lv != kOuter) continue;
      const Weight slack = dual_[e.u] + dual_[e.v] - 2 * e.w;
      if (lu == kOuter && lv == kOuter) {
        delta = std::min(delta, slack / 2);
      } else if (lu == kFree || lv == kFree) {
        delta = std::min(delta, slack);
      }
    }
    for (std::int32_t b = n; b < slots; ++b) {
      if (parent_[b] == kNone && !children_[b].empty() && label_[b] == kInner) delta = std::min(delta, dual_[b] / 2);
    }
    for (std::int32_t v = 0; v < n; ++v) {
      const Label l = label_[top_[v]];
      if (l == kOuter) dual_[v] -= delta;
      if (l == kInner) dual_[v] += delta;
    }
    for (std::int32_t b = n; b < slots; ++b) {
      if (parent_[b] != kNone || children_[b].empty()) continue;
      if (label_[b] == kOuter) dual_[b] += 2 * delta;
      if (label_[b] == kInner) dual_[b] -= 2 * delta;
    }
    if (delta == last) return false;
  }
}

bool BlossomMatching::finish_stage() {
  const auto n = static_cast<std::int32_t>(n_);
  const auto slots = 2 * n;
  // Blossoms whose dual fell to zero are split, their children of dual zero too.
  scratch_.clear();
  for (std::int32_t b = n; b < slots; ++b) {
    if (parent_[b] == kNone && !children_[b].empty() && dual_[b] == 0) scratch_.push_back(b);
  }
  while (!scratch_.empty()) {
    const std::int32_t b = scratch_.back();
    scratch_.pop_back();
    for (std::int32_t c : children_[b]) {
      if (c >= n && dual_[c] == 0) scratch_.push_back(c);
    }
    expand(b, false);
  }
  return true;
}

void BlossomMatching::assign_label(std::int32_t vertex, Label label, std::int32_t from) {
  const std::int32_t b = top_[vertex];
  label_[b] = label;
  label_to_[b] = vertex;
  label_from_[b] = from;
  if (label == kInner) {
    const std::int32_t base = base_[b];
    assign_label(mate_[base], kOuter, base);
  }
}

std::int32_t BlossomMatching::outer_parent(std::int32_t b) const {
  if (label_from_[b] == kNone) return kNone;
  const std::int32_t inner = top_[label_from_[b]];
  return top_[label_from_[inner]];
}

std::int32_t BlossomMatching::common_outer(std::int32_t v, std::int32_t w) {
  ++stamp_;
  std::int32_t a = top_[v], b = top_[w];
  while (a != kNone || b != kNone) {
    if (a != kNone) {
      if (mark_[a] == stamp_) return a;
      mark_[a] = stamp_;
      a = outer_parent(a);
    }
    std::swap(a, b);
  }
  return kNone;
}

void BlossomMatching::add_blossom(std::int32_t common, std::int32_t v, std::int32_t w) {
  const std::int32_t nb = free_blossoms_.back();
  free_blossoms_.pop_back();
  // The tree paths from v's and w's blossoms up to the common one, outer and inner alternating.
  auto path_to = [&](std::int32_t from, std::vector<std::int32_t>& path) {
    path.clear();
    for (std::int32_t b = top_[from]; b != common;) {
      path.push_back(b);
      const std::int32_t inner = top_[label_from_[b]];
      path.push_back(inner);
      b = top_[label_from_[inner]];
    }
  };
  path_to(v, scratch_);
  path_to(w, scratch2_);
  std::vector<std::int32_t>& kids = children_[nb];
  std::vector<Link>& links = links_[nb];
  kids.clear();
  links.clear();
  kids.push_back(common);
  for (std::size_t j = scratch_.size(); j-- > 0;) {
    const std::int32_t c = scratch_[j];
    kids.push_back(c);
    links.push_back({label_from_[c], label_to_[c]});
  }
  links.push_back({v, w});
  for (const std::int32_t c : scratch2_) {
    kids.push_back(c);
    links.push_back({label_to_[c], label_from_[c]});
  }
  for (const std::int32_t c : kids) parent_[c] = nb;
  parent_[nb] = kNone;
  base_[nb] = base_[common];
  dual_[nb] = 0;
  label_[nb] = kOuter;
  label_from_[nb] = label_from_[common];
  label_to_[nb] = label_to_[common];
  set_top(nb, nb);
}

void BlossomMatching::augment(std::int32_t v, std::int32_t w) {
  for (int side = 0; side < 2; ++side) {
    std::int32_t s = side == 0 ? v : w;
    std::int32_t partner = side == 0 ? w : v;
    for (;;) {
      const std::int32_t bs = top_[s];
      if (bs >= static_cast<std::int32_t>(n_)) rebase(bs, s);
      mate_[s] = partner;
      if (label_from_[bs] == kNone) break;
      const std::int32_t bt = top_[label_from_[bs]];
      const std::int32_t entry = label_to_[bt];
      const std::int32_t next = label_from_[bt];
      if (bt >= static_cast<std::int32_t>(n_)) rebase(bt, entry);
      mate_[entry] = next;
      partner = entry;
      s = next;
    }
  }
}

std::int32_t BlossomMatching::child_of(std::int32_t b, std::int32_t v) const {
  std::int32_t t = v;
  while (parent_[t] != b) t = parent_[t];
  return t;
}

void BlossomMatching::rebase(std::int32_t b, std::int32_t v) {
  const auto n = static_cast<std::int32_t>(n_);
  const std::int32_t t = child_of(b, v);
  if (t >= n) rebase(t, v);
  std::vector<std::int32_t>& kids = children_[b];
  std::vector<Link>& links = links_[b];
  const auto count = static_cast<std::int32_t>(kids.size());
  const auto i = static_cast<std::int32_t>(std::find(kids.begin(), kids.end(), t) - kids.begin());
  if (i != 0) {
    // The even way round from child i to the base child: every other link on it becomes matched.
    const auto match_link = [&](std::int32_t j) {
      const Link l = links[j];
      const std::int32_t a = kids[j], c = kids[(j + 1) % count];
      if (a >= n) rebase(a, l.from);
      if (c >= n) rebase(c, l.to);
      mate_[l.from] = l.to;
      mate_[l.to] = l.from;
    };
    if (i % 2 == 0) {
      for (std::int32_t j = 0; j < i; j += 2) match_link(j);
    } else {
      for (std::int32_t j = i + 1; j < count; j += 2) match_link(j);
    }
    std::rotate(kids.begin(), kids.begin() + i, kids.end());
    std::rotate(links.begin(), links.begin() + i, links.end());
  }
  base_[b] = v;
}

void BlossomMatching::set_top(std::int32_t b, std::int32_t top) {
  const auto n = static_cast<std::int32_t>(n_);
  if (b < n) {
    top_[b] = top;
    return;
  }
  for (const std::int32_t c : children_[b]) set_top(c, top);
}

void BlossomMatching::expand(std::int32_t b, bool relabel) {
  std::vector<std::int32_t>& kids = children_[b];
  std::vector<Link>& links = links_[b];
  const auto count = static_cast<std::int32_t>(kids.size());
  std::int32_t entry_index = 0;
  if (relabel) {
    const std::int32_t entry_child = child_of(b, label_to_[b]);
    entry_index = static_cast<std::int32_t>(std::find(kids.begin(), kids.end(), entry_child) - kids.begin());
  }
  for (const std::int32_t c : kids) {
    parent_[c] = kNone;
    set_top(c, c);
    label_[c] = kFree;
    label_from_[c] = kNone;
  }
  if (relabel) {
    // Children on the even path from the entry child to the base child alternate inner and
    // outer, linked as the path goes; the others leave the tree.
    const std::int32_t i = entry_index;
    const bool forward = i % 2 == 1;
    const std::int32_t steps = forward ? count - i : i;
    std::int32_t here = i;
    label_[kids[here]] = kInner;
    label_to_[kids[here]] = label_to_[b];
    label_from_[kids[here]] = label_from_[b];
    for (std::int32_t k = 0; k < steps; ++k) {
      std::int32_t next, in_here, in_next;
      if (forward) {
        next = (here + 1) % count;
        in_here = links[here].from;
        in_next = links[here].to;
      } else {
        next = here - 1;
        in_here = links[next].to;
        in_next = links[next].from;
      }
      label_[kids[next]] = k % 2 == 0 ? kOuter : kInner;
      label_to_[kids[next]] = in_next;
      label_from_[kids[next]] = in_here;
      here = next;
    }
  }
  kids.clear();
  links.clear();
  label_[b] = kFree;
  dual_[b] = 0;
  parent_[b] = kNone;
  free_blossoms_.push_back(b);
}

}  // namespace kelvane::matching
