// Scope guards: state put back on every way out of a scope, whether it ends
// normally or a throw passes through, instead of a try/catch/rethrow at each
// place that changes shared state for a while.
#pragma once
#include <utility>

namespace zav {

// Runs a callable when the scope ends. The callable must not throw: it also
// runs while a throw passes through.
template <class F>
class OnExit {
public:
    explicit OnExit(F f) : f_(std::move(f)) {}
    ~OnExit() { f_(); }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

private:
    F f_;
};

// Puts a variable back to the value it had when the guard was made.
template <class T>
class Restore {
public:
    explicit Restore(T& var) : var_(var), saved_(var) {}
    // Sets the variable for the scope.
    Restore(T& var, T value) : var_(var), saved_(var) { var = std::move(value); }
    ~Restore() { var_ = saved_; }
    Restore(const Restore&) = delete;
    Restore& operator=(const Restore&) = delete;

private:
    T& var_;
    T saved_;
};

}  // namespace zav
