// Reads a fuzzer's input front to back.  Past the end every read yields
// zeros, so a target never needs to check the length before it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace fuzz {

class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - pos_; }

  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }

  // `n` bytes into `out`, zero-filled past the end.
  void bytes(void* out, size_t n) {
    const size_t take = n < remaining() ? n : remaining();
    if (take) std::memcpy(out, data_ + pos_, take);
    std::memset(static_cast<uint8_t*>(out) + take, 0, n - take);
    pos_ += take;
  }

  // A little-endian value of T's size (for floats: the raw bit pattern).
  template <class T>
  T value() {
    uint8_t raw[sizeof(T)];
    bytes(raw, sizeof raw);
    T v;
    std::memcpy(&v, raw, sizeof v);
    return v;
  }

  // A number from 0 to `count` - 1 (0 when count is 0).
  size_t pick(size_t count) { return count ? byte() % count : 0; }

  std::string rest() {
    std::string s(reinterpret_cast<const char*>(data_) + (empty() ? size_ : pos_), remaining());
    pos_ = size_;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzz
