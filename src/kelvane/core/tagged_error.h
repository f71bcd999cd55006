// The shape shared by the libraries' error types: a tagged union of error kinds, each a plain
// struct, with typed access. A concrete error type derives from it and adds its display text.
#pragma once

#include <utility>
#include <variant>

namespace kelvane {

template <typename... Kinds>
class TaggedError {
 public:
  using Kind = std::variant<Kinds...>;

  // Implicit, so that a function returning the error type can return a kind directly.
  template <typename K>
  TaggedError(K kind) : kind_(std::move(kind)) {}  // NOLINT(google-explicit-constructor)

  const Kind& kind() const { return kind_; }
  template <typename K>
  bool is() const { return std::holds_alternative<K>(kind_); }
  template <typename K>
  const K& as() const { return std::get<K>(kind_); }

 private:
  Kind kind_;
};

}  // namespace kelvane
