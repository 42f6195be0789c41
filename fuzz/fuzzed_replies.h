// A camera played by a fuzzer's bytes: installed as the virtual bus's reply
// hook, it decides for every control transfer whether the device's answer
// passes, fails, carries other bytes or comes back short.
//
// The bytes form runs.  A run starts with a control byte:
//   bits 7-6  0 pass the device's answer
//             1 fail (next byte: which libusb error)
//             2 answer with other bytes (next 9 bytes: the reply's payload,
//               byte 2 on of a register, flash-data, ROM or memory-type
//               reply; transfers to the device are not counted)
//             3 cut the reply short (next byte: its length)
//   bits 5-0  the run's length in transfers, 1 to 63; 63 means to the end
// When the bytes run out every further transfer fails, so a run costs at
// most a few transfers per input byte unless a run lasts to the end.
//
// Every wait on the device in the code under test is bounded, so a run
// that makes more transfers than the longest wait takes is a loop that is
// not bounded: it is reported as a fault.
#pragma once

#include <vcam/vcam.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byte_source.h"

namespace fuzz {

class FuzzedReplies : public vcam::ReplyHook {
 public:
  // Far above the longest bounded wait (10000 status polls of some ten
  // transfers each, for each of the few polls of one entry point).
  static constexpr uint64_t kTransferBudget = 4000000;

  explicit FuzzedReplies(ByteSource& in) : in_(in) {}

  int fault(const vcam::Transfer& request) override {
    if (++transfers_ > kTransferBudget) {
      std::fprintf(stderr, "fuzzed camera: more than %llu transfers in one run: a wait on the device is not bounded\n",
                   static_cast<unsigned long long>(kTransferBudget));
      std::abort();
    }
    if (left_ == 0 && !next_run()) return LIBUSB_ERROR_IO;
    if (mode_ == Mode::Override && !request.is_get()) return 0;  // only replies count in an override run
    if (left_ != kToTheEnd) --left_;
    return mode_ == Mode::Fail ? error_ : 0;
  }

  int reply(const vcam::Transfer& request, uint8_t* data, int result) override {
    if (!request.is_get() || data == nullptr) return result;
    if (mode_ == Mode::Override) {
      if (request.wLength > 2) {
        const size_t n = request.wLength - 2u < sizeof payload_ ? request.wLength - 2u : sizeof payload_;
        std::memcpy(data + 2, payload_, n);
      }
      return request.wLength;
    }
    if (mode_ == Mode::Short && result >= 0) return short_length_ % (request.wLength + 1);
    return result;
  }

  uint64_t transfers() const { return transfers_; }

 private:
  enum class Mode { Pass, Fail, Override, Short };
  static constexpr unsigned kToTheEnd = 63;

  bool next_run() {
    if (in_.empty()) return false;
    const uint8_t control = in_.byte();
    mode_ = static_cast<Mode>(control >> 6);
    left_ = control & 0x3F;
    if (left_ == 0) left_ = 1;
    static const int kErrors[] = {LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_NO_DEVICE,
                                  LIBUSB_ERROR_OVERFLOW};
    if (mode_ == Mode::Fail) error_ = kErrors[in_.pick(sizeof kErrors / sizeof kErrors[0])];
    if (mode_ == Mode::Override) in_.bytes(payload_, sizeof payload_);
    if (mode_ == Mode::Short) short_length_ = in_.byte();
    return true;
  }

  ByteSource& in_;
  Mode mode_ = Mode::Pass;
  unsigned left_ = 0;
  int error_ = LIBUSB_ERROR_IO;
  uint8_t payload_[9] = {};
  uint8_t short_length_ = 0;
  uint64_t transfers_ = 0;
};

}  // namespace fuzz
