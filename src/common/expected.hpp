#pragma once
// A value or an error: the return type of every operation that can fail recoverably.
// (std::expected is C++23; this is the small subset the project needs.)

#include <type_traits>
#include <utility>
#include <variant>

namespace tacitor {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class Expected {
 public:
  using value_type = T;
  using error_type = E;

  Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
    requires std::is_constructible_v<E, G&&>
  Expected(Unexpected<G> error) : storage_(std::in_place_index<1>, std::move(error.error)) {}

  bool has_value() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  E& error() & { return std::get<1>(storage_); }
  const E& error() const& { return std::get<1>(storage_); }
  E&& error() && { return std::get<1>(std::move(storage_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> storage_;
};

}  // namespace tacitor
