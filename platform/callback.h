#pragma once
// Bound tasks for the worker pool: a Callback is a copyable handle to a Binder, which holds
// a no-argument callable by value.
//
// Threads: a Callback may be made on one thread and copied, called or destroyed on others.
// The binder's reference count and the two instance counters are atomic; the bound
// callable itself is not synchronised, so one Callback's copies must not be called
// concurrently unless the callable allows it.
//
// Instance counters: every live CBChecker (every Callback, empty ones included) and every
// live BinderBase is counted; at process exit a count above zero prints
//   "*** Leaked objects detected: <n> instance(s) of class <BinderBase|CBChecker>"
// on standard output (see worker_pool.h for when that runs).
#include <concepts>
#include <memory>
#include <type_traits>
#include <utility>

namespace lumalib {

namespace detail {
// Registers the exit-time leak report; idempotent and thread-safe.
void EnsureLeakReport() noexcept;
void CountCallback(int delta) noexcept;
void CountBinder(int delta) noexcept;
}  // namespace detail

class CBChecker {
 public:
  CBChecker() noexcept {
    detail::EnsureLeakReport();
    detail::CountCallback(+1);
  }
  CBChecker(const CBChecker&) noexcept : CBChecker() {}
  CBChecker(CBChecker&&) noexcept : CBChecker() {}
  CBChecker& operator=(const CBChecker&) noexcept = default;
  CBChecker& operator=(CBChecker&&) noexcept = default;
  virtual ~CBChecker() { detail::CountCallback(-1); }

  // Live instances in the process.
  static long LiveCount() noexcept;
};

struct BinderBase {
  using Invoke = void (*)(BinderBase* self);

  explicit BinderBase(Invoke function) noexcept : invoke(function) {
    detail::EnsureLeakReport();
    detail::CountBinder(+1);
  }
  BinderBase(const BinderBase&) = delete;
  BinderBase& operator=(const BinderBase&) = delete;
  virtual ~BinderBase() { detail::CountBinder(-1); }

  static long LiveCount() noexcept;

  Invoke invoke;
};

// Arity: the number of call arguments; the installer binds only no-argument callables.
template <int Arity, typename F>
struct Binder : BinderBase {
  static_assert(Arity == 0, "only no-argument callables are bound");

  explicit Binder(F&& function) : BinderBase(&Binder::Call), callable(std::move(function)) {}

  static void Call(BinderBase* self) { static_cast<Binder*>(self)->callable(); }

  F callable;
};

template <typename Signature>
class Callback;

template <>
class Callback<void()> : public CBChecker {
 public:
  // An empty callback; calling it does nothing.
  Callback() noexcept = default;

  // Implicit, so that a lambda can be posted as it is.
  template <typename F>
    requires(!std::same_as<std::remove_cvref_t<F>, Callback> && std::invocable<std::decay_t<F>&>)
  Callback(F&& function)
      : binder_(std::make_shared<Binder<0, std::decay_t<F>>>(std::decay_t<F>(std::forward<F>(function)))) {}

  Callback(const Callback& other) noexcept = default;
  // Takes the binder over; `other` is left empty.
  Callback(Callback&& other) noexcept : CBChecker(other), binder_(std::move(other.binder_)) {}
  Callback& operator=(const Callback& other) noexcept = default;
  Callback& operator=(Callback&& other) noexcept {
    binder_ = std::move(other.binder_);
    return *this;
  }
  ~Callback() override = default;

  void operator()() const {
    if (binder_) binder_->invoke(binder_.get());
  }
  explicit operator bool() const noexcept { return binder_ != nullptr; }

 private:
  std::shared_ptr<BinderBase> binder_;
};

}  // namespace lumalib
