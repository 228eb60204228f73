#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <utility>

#include "base/result.h"
#include "base/salvage_error.h"
#include "bindings/common/py_ptr.h"

namespace tidewrack::bindings {

// The engine's ByteSupply for a Python iterator of bytes chunks (a
// decompressor's or a decoder's output), for work that runs detached: each
// chunk is taken attached to the interpreter, on whichever thread reads, and
// copied out detached. An exception the iterator raises (a signal handler's
// among them) fails the read as a stop would, and so does a chunk that is not
// bytes: the exception stays pending on that thread, unless `on_failure`
// (called attached, with it set) takes it. Create and destroy it attached: it
// owns references.
class ChunkSupply {
public:
  explicit ChunkSupply(PyObject *iterator, std::function<void()> on_failure = {})
      : iterator_(PyPtr::borrow(iterator)), on_failure_(std::move(on_failure)) {}

  Result<std::size_t> operator()(char *out, std::size_t size) {
    while (!failed_ && !ended_ && taken_ == chunk_size_) {
      const PyGILState_STATE state = PyGILState_Ensure();
      failed_ = !next_chunk();
      if (failed_ && on_failure_) {
        on_failure_();
      }
      PyGILState_Release(state);
    }
    if (failed_) {
      return SalvageError::interrupted();
    }
    // The chunk is immutable and owned here: it is read without the interpreter.
    const std::size_t count = std::min(size, chunk_size_ - taken_);
    if (count > 0) {
      std::memcpy(out, chunk_data_ + taken_, count);
      taken_ += count;
    }
    return count;
  }

  bool failed() const { return failed_; }

  // Lets go of the references without dropping them, once the interpreter is gone.
  void abandon() {
    iterator_.release();
    chunk_.release();
  }

private:
  // False with an exception set.
  bool next_chunk() {
    chunk_.reset(PyIter_Next(iterator_.get()));
    chunk_data_ = nullptr;
    chunk_size_ = taken_ = 0;
    if (!chunk_) {
      ended_ = PyErr_Occurred() == nullptr;
      return ended_;
    }
    if (!PyBytes_Check(chunk_.get())) {
      PyErr_Format(PyExc_TypeError, "input_chunks must give bytes, not %.200s",
                   Py_TYPE(chunk_.get())->tp_name);
      return false;
    }
    chunk_data_ = PyBytes_AS_STRING(chunk_.get());
    chunk_size_ = static_cast<std::size_t>(PyBytes_GET_SIZE(chunk_.get()));
    return true;
  }

  PyPtr iterator_;
  std::function<void()> on_failure_;
  PyPtr chunk_;
  const char *chunk_data_ = nullptr;
  std::size_t chunk_size_ = 0;
  std::size_t taken_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

} // namespace tidewrack::bindings
