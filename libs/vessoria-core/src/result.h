// A value or the text of what went wrong, meant for the user; nothing in
// this library throws across its interface.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vessoria {

template <class T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  static Result failure(std::string error) { return Result(std::in_place_index<1>, std::move(error)); }

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const std::string& error() const { return std::get<1>(v_); }

 private:
  template <std::size_t I, class U>
  Result(std::in_place_index_t<I> tag, U&& u) : v_(tag, std::forward<U>(u)) {}
  std::variant<T, std::string> v_;
};

}  // namespace vessoria
