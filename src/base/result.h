#pragma once

#include <utility>
#include <variant>

#include "base/salvage_error.h"

namespace tidewrack {

// A value or the SalvageError that prevented it.
template <class T> class [[nodiscard]] Result {
public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(SalvageError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T &value() & { return std::get<0>(state_); }
  const T &value() const & { return std::get<0>(state_); }
  T &&value() && { return std::get<0>(std::move(state_)); }
  SalvageError &error() { return std::get<1>(state_); }
  const SalvageError &error() const { return std::get<1>(state_); }

private:
  std::variant<T, SalvageError> state_;
};

} // namespace tidewrack
