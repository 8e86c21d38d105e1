#pragma once
// A value or an error, never both. Errors travel up as values; only the
// Python layer turns them into exceptions.
#include <utility>
#include <variant>

namespace ahrs {

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return {std::forward<E>(e)};
}

struct Unit {};

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    E& error() & { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }
    const E& error() const& { return std::get<1>(v_); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, E> v_;
};

// Success with no value.
template <class E>
using Status = Result<Unit, E>;

}  // namespace ahrs
