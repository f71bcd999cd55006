// The shape shared by the libraries' error types: a tagged union of error kinds, each a plain
// struct, with typed access. A concrete error type derives from it and adds its display text.
#pragma once

#include <concepts>
#include <utility>
#include <variant>

namespace kelvane {

template <typename... Kinds>
class TaggedError {
 public:
  using Kind = std::variant<Kinds...>;

  // Implicit, so that a function returning the error type can return a kind directly. Only the
  // kinds convert: an unconstrained constructor would make std::expected's constructibility
  // checks ask whether an expected converts to its own error type, which clang rejects as a
  // constraint that depends on itself.
  template <typename K>
    requires(std::same_as<K, Kinds> || ...)
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
