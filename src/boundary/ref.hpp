// Owning and borrowed handles for PyObject*: the one place where reference counts are touched.
//
// Rules of use:
//  - A function that returns a new reference returns `Owned`; the handle releases it.
//  - A parameter that only looks at an object takes `Borrowed`; it never releases.
//  - Stealing and owning are explicit: `Owned::steal(p)` takes over a new reference,
//    `Owned::borrow(p)` adds one, `release()` hands the reference back to the caller.
//  - There is no implicit conversion from `Owned` to `PyObject*`: `get()` is a borrow
//    and `release()` a transfer, and each is visible at its call site.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn {

class Owned;

// A pointer that the holder does not own; valid while someone else keeps the object alive.
class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr Borrowed(PyObject* p) noexcept : p_(p) {}  // NOLINT(google-explicit-constructor)
  inline Borrowed(const Owned& o) noexcept;            // NOLINT(google-explicit-constructor)

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  [[nodiscard]] explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyTypeObject* type() const noexcept { return Py_TYPE(p_); }
  [[nodiscard]] bool is(Borrowed other) const noexcept { return p_ == other.p_; }

 private:
  PyObject* p_ = nullptr;
};

// A strong reference, released by the destructor. Moving leaves the source empty.
class Owned {
 public:
  constexpr Owned() noexcept = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Owned() { reset(); }

  // Takes over a new reference (may be null).
  [[nodiscard]] static Owned steal(PyObject* p) noexcept { return Owned(p); }
  // Adds a reference to a borrowed object (may be null).
  [[nodiscard]] static Owned borrow(Borrowed b) noexcept {
    Py_XINCREF(b.get());
    return Owned(b.get());
  }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  [[nodiscard]] explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] bool is(Borrowed other) const noexcept { return p_ == other.get(); }
  [[nodiscard]] Owned copy() const noexcept { return borrow(p_); }
  // Hands the reference to the caller; the handle becomes empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // Drops the reference. Releasing may run arbitrary Python code (finalizers), so the
  // pointer is cleared before the count drops.
  void reset() noexcept { Py_XDECREF(std::exchange(p_, nullptr)); }

 private:
  explicit Owned(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Borrowed::Borrowed(const Owned& o) noexcept : p_(o.get()) {}

}  // namespace quarn
