#pragma once
// Shared-read / exclusive-write guard for an object's C++ state. Every access
// runs with the interpreter lock held, so a conflict can only come from a call
// that re-enters the same object while it is in use; the guard turns that into
// a RuntimeError instead of a torn read or write.

#include <Python.h>

namespace vyre::py {

class BorrowFlag {
public:
    bool try_share() noexcept {
        if (state_ < 0) return false;
        ++state_;
        return true;
    }
    void unshare() noexcept { --state_; }
    bool try_exclusive() noexcept {
        if (state_ != 0) return false;
        state_ = -1;
        return true;
    }
    void unexclusive() noexcept { state_ = 0; }

private:
    Py_ssize_t state_ = 0;  // readers while positive, one writer at -1
};

// Holds a shared borrow for its scope. Test it after construction: when false,
// RuntimeError "Already mutably borrowed" is set.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag.try_share() ? &flag : nullptr) {
        if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedBorrow() {
        if (flag_) flag_->unshare();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

// Holds the exclusive borrow for its scope. When false after construction,
// RuntimeError "Already borrowed" is set.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag.try_exclusive() ? &flag : nullptr) {
        if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveBorrow() {
        if (flag_) flag_->unexclusive();
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

}  // namespace vyre::py
