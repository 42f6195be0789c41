// SPI NOR flash chip: commands are clocked in byte by byte while the chip
// is selected and carried out when chip select rises, as real chips do.
// Writes need the write-enable latch, block-protect bits guard the array,
// WP# guards the status register while SRWD is set, programming only
// clears bits, a page program wraps inside its 256-byte page, and while
// the chip is busy it answers nothing but the status register.
#include "model.h"

#include <algorithm>
#include <bitset>
#include <mutex>
#include <stdexcept>

namespace vcam {
namespace {

constexpr uint32_t k4K = 0x1000, k32K = 0x8000, k64K = 0x10000;

// Opcodes every family shares.
constexpr uint8_t kWrsr = 0x01, kPp = 0x02, kRead = 0x03, kWrdi = 0x04, kRdsr = 0x05, kWren = 0x06;
constexpr uint8_t kId15 = 0x15, kEwsr = 0x50, kRems = 0x90, kJedec = 0x9F, kRes = 0xAB, kAai = 0xAF;

const std::vector<FlashProfile::Erase> kStandardErases = {
    {0x20, k4K}, {0x52, k32K}, {0xD8, k64K}, {0x60, 0}, {0xC7, 0}};

// One entry per family of the identification table; the identification
// answers are those of a typical part of each maker.
const FlashProfile kProfiles[] = {
    {FlashFamily::Mxic, {0xC2, 0x20, 0x13}, {}, {0xC2, 0x12}, {0x12}, 0x1C, false, false, false, kStandardErases},
    // 64 KiB sectors only: 0xD8 erases a sector, 0xC7 the chip; no 0x90.
    {FlashFamily::St, {0x20, 0x20, 0x11}, {}, {0xFF, 0xFF}, {0x10}, 0x0C, false, false, false, {{0xD8, k64K}, {0xC7, 0}}},
    // No 0x9F; 0x90 and 0xAB give BF 48; status write only after 0x50;
    // 0x02 programs one byte, 0xAF programs bytes with address increment.
    {FlashFamily::Sst, {}, {}, {0xBF, 0x48}, {0xBF, 0x48}, 0x0C, true, true, true,
     {{0x20, k4K}, {0x52, k32K}, {0x60, 0}, {0xC7, 0}}},
    {FlashFamily::AtmelAt25f, {0x1F, 0x65, 0x01}, {0x1F, 0x65}, {0xFF, 0xFF}, {}, 0x0C, false, false, false,
     kStandardErases},
    // Second bank of the maker codes: 0x9F answers with the continuation code.
    {FlashFamily::Pmc, {0x7F, 0x9D, 0x7B}, {}, {0x9D, 0x7B}, {0x9D, 0x7B}, 0x0C, false, false, false,
     {{0xD7, k4K}, {0x20, k4K}, {0x52, k32K}, {0xD8, k64K}, {0xC7, 0}, {0x60, 0}}},
    {FlashFamily::Esmt, {0x8C, 0x30, 0x10}, {}, {0x8C, 0x0F}, {0x0F}, 0x1C, false, false, false, kStandardErases},
    {FlashFamily::Giga, {0xC8, 0x40, 0x13}, {}, {0xC8, 0x12}, {0x12}, 0x1C, false, false, false, kStandardErases},
    {FlashFamily::Winbond, {0xEF, 0x30, 0x11}, {}, {0xEF, 0x10}, {0x10}, 0x1C, false, false, false, kStandardErases},
    {FlashFamily::Fentech, {0x5E, 0x60, 0x13}, {}, {0x5E, 0x12}, {0x12}, 0x1C, false, false, false, kStandardErases},
    // A part whose identification is in no table.
    {FlashFamily::Unknown, {0xC2, 0x20, 0x15}, {}, {0xC2, 0x14}, {0x14}, 0x1C, false, false, false, kStandardErases},
};

bool stores_data(uint8_t op) { return op == kPp || op == kAai || op == kWrsr; }

}  // namespace

const FlashProfile& flash_profile(FlashFamily f) {
  for (const auto& p : kProfiles)
    if (p.family == f) return p;
  return kProfiles[0];
}

namespace {
// Arrays of flash chips that are gone, kept for the next chip of the same
// size: a run that builds and drops cameras by the million (a fuzzer's) then
// does not map and unmap a fresh array for each.
constexpr size_t kSpareArrays = 4;
std::mutex spare_mu;
std::vector<std::vector<uint8_t>> spare_arrays;

std::vector<uint8_t> erased_array(size_t size) {
  std::vector<uint8_t> a;
  {
    std::lock_guard<std::mutex> lock(spare_mu);
    for (auto it = spare_arrays.begin(); it != spare_arrays.end(); ++it)
      if (it->size() == size) {
        a = std::move(*it);
        spare_arrays.erase(it);
        break;
      }
  }
  a.assign(size, 0xFF);
  return a;
}
}  // namespace

SpiFlash::SpiFlash(FlashFamily family, size_t size, FlashTiming timing)
    : profile_(flash_profile(family)), timing_(timing), array_(erased_array(std::max<size_t>(size, 1))) {}

SpiFlash::~SpiFlash() {
  std::lock_guard<std::mutex> lock(spare_mu);
  if (spare_arrays.size() < kSpareArrays) spare_arrays.push_back(std::move(array_));
}

uint8_t SpiFlash::status() const {
  return static_cast<uint8_t>((busy() ? kStatusWip : 0) | (wel_ ? kStatusWel : 0) | bp_ | srwd_);
}

void SpiFlash::set_status(uint8_t s) {
  wel_ = (s & kStatusWel) != 0;
  bp_ = s & profile_.bp_mask;
  srwd_ = s & kStatusSrwd;
}

void SpiFlash::tick(uint64_t n) {
  if (busy_ticks_ == 0) return;
  busy_ticks_ = n >= busy_ticks_ ? 0 : busy_ticks_ - n;
  if (busy_ticks_ == 0) wel_ = false;  // the latch clears when the operation completes
}

void SpiFlash::select() {
  if (array_.empty()) throw std::logic_error("vcam: the flash array was emptied");
  if (selected_) return;
  selected_ = true;
  cmd_.clear();
  extra_ = 0;
  busy_at_select_ = busy();
}

void SpiFlash::deselect() {
  if (!selected_) return;
  execute();
  selected_ = false;
  cmd_.clear();
  extra_ = 0;
}

uint32_t SpiFlash::address_at(size_t pos) const {
  return (uint32_t{cmd_[pos]} << 16) | (uint32_t{cmd_[pos + 1]} << 8) | cmd_[pos + 2];
}

uint8_t SpiFlash::exchange(uint8_t mosi) {
  if (!selected_) return 0xFF;
  const size_t pos = clocked();
  if (pos < 4 || stores_data(cmd_[0])) cmd_.push_back(mosi);
  else ++extra_;
  if (pos == 0) return 0xFF;  // MISO floats while the opcode comes in
  const uint8_t op = cmd_[0];
  if (busy_at_select_ && op != kRdsr) return 0xFF;
  auto from = [&](const std::vector<uint8_t>& v, size_t i) -> uint8_t { return i < v.size() ? v[i] : 0xFF; };
  switch (op) {
    case kRdsr: {
      const uint8_t s = status();
      if (!stuck_busy_ && busy_ticks_ > 0) tick(1);
      return s;
    }
    case kRead:
      return pos >= 4 ? array_[wrap(uint64_t{address_at(1)} + (pos - 4))] : 0xFF;
    case kJedec:
      return from(profile_.jedec, pos - 1);
    case kId15:
      return from(profile_.id15, pos - 1);
    case kRems:
      return pos >= 4 ? profile_.rems[(pos - 4 + (cmd_[3] & 1)) % 2] : 0xFF;
    case kRes:
      return pos >= 4 && !profile_.res.empty() ? profile_.res[(pos - 4) % profile_.res.size()] : 0xFF;
    default:
      return 0xFF;
  }
}

void SpiFlash::execute() {
  const size_t n = clocked();
  if (n == 0) return;
  const uint8_t op = cmd_[0];
  const bool is_write = op == kWrsr || op == kPp || op == kAai || op == kWren || op == kWrdi || op == kEwsr ||
                        std::any_of(profile_.erases.begin(), profile_.erases.end(),
                                    [op](const FlashProfile::Erase& e) { return e.opcode == op; });
  if (busy_at_select_) {
    if (is_write && op != kWren && op != kWrdi) reject();
    return;  // a busy chip carries out nothing
  }
  const bool after_ewsr = ewsr_;
  ewsr_ = false;
  if (aai_mode_ && op != kAai && op != kRdsr) {
    aai_mode_ = false;  // any other command ends the byte-program sequence
    wel_ = false;
  }
  switch (op) {
    case kWren:
      if (n == 1) wel_ = true;
      return;
    case kWrdi:
      if (n == 1) wel_ = false;
      return;
    case kEwsr:
      if (n == 1 && profile_.needs_ewsr) ewsr_ = true;
      return;
    case kWrsr:
      if (n >= 2) execute_write_status(after_ewsr);
      return;
    case kPp:
      if (n >= 5) execute_program(address_at(1), cmd_.data() + 4, n - 4);
      return;
    case kAai:
      if (profile_.aai) execute_aai();
      return;
    default:
      break;
  }
  for (const auto& e : profile_.erases) {
    if (e.opcode != op) continue;
    if ((e.size == 0 && n == 1) || (e.size != 0 && n == 4)) execute_erase(e.size);
    return;
  }
}

void SpiFlash::execute_write_status(bool after_ewsr) {
  const bool enabled = profile_.needs_ewsr ? after_ewsr : wel_;
  if (!enabled) return reject();
  if (srwd_ && wp_asserted && wp_asserted()) {  // hardware protected mode
    wel_ = false;
    return reject();
  }
  bp_ = cmd_[1] & profile_.bp_mask;
  srwd_ = cmd_[1] & kStatusSrwd;
  ++status_writes;
  start_busy(static_cast<uint64_t>(timing_.status_write));
}

bool SpiFlash::protected_range(uint32_t addr, uint32_t len) const {
  const int bits = static_cast<int>(std::bitset<8>(profile_.bp_mask).count());
  const uint32_t field = static_cast<uint32_t>(bp_) >> 2;
  const uint32_t all = (1u << bits) - 1;
  if (field == 0) return false;
  const uint64_t size = array_.size();
  const uint64_t guarded = field >= all ? size : size >> (all - field);  // the top part of the array
  const uint64_t first_guarded = size - guarded;
  return uint64_t{addr} + len > first_guarded;
}

void SpiFlash::execute_program(uint32_t addr, const uint8_t* data, size_t n) {
  if (!wel_) return reject();
  if (profile_.pp_single_byte) n = std::min<size_t>(n, 1);
  // The page buffer: bytes past the page end wrap to its start; of more
  // than 256 bytes only the last 256 count.
  std::array<int, 256> page;
  page.fill(-1);
  const uint32_t base = addr & ~0xFFu;
  for (size_t i = 0; i < n; ++i) page[(addr + i) & 0xFF] = data[i];
  for (int off = 0; off < 256; ++off)
    if (page[off] >= 0 && protected_range(wrap(uint64_t{base} + off), 1)) {
      wel_ = false;
      return reject();
    }
  for (int off = 0; off < 256; ++off)
    if (page[off] >= 0) array_[wrap(uint64_t{base} + off)] &= static_cast<uint8_t>(page[off]);
  if (n > 0) ++programs;
  start_busy(static_cast<uint64_t>(timing_.program));
}

void SpiFlash::execute_aai() {
  const size_t n = clocked();
  uint32_t addr = 0;
  uint8_t byte = 0;
  if (!aai_mode_) {
    if (n != 5) return;
    if (!wel_) return reject();
    addr = address_at(1);
    byte = cmd_[4];
    aai_mode_ = true;
  } else {
    if (n != 2) return;
    addr = aai_addr_;
    byte = cmd_[1];
  }
  aai_addr_ = wrap(uint64_t{addr} + 1);
  if (protected_range(wrap(addr), 1)) return reject();
  array_[wrap(addr)] &= byte;
  ++programs;
}

void SpiFlash::execute_erase(uint32_t size) {
  if (!wel_) return reject();
  if (size == 0) {
    if (bp_ != 0) {  // a chip erase is refused while any block is protected
      wel_ = false;
      return reject();
    }
    std::fill(array_.begin(), array_.end(), 0xFF);
    ++erases;
    return start_busy(static_cast<uint64_t>(timing_.chip_erase));
  }
  const uint32_t base = wrap(address_at(1)) & ~(size - 1);
  const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(size, array_.size() - base));
  if (protected_range(base, len)) {
    wel_ = false;
    return reject();
  }
  std::fill(array_.begin() + base, array_.begin() + base + len, 0xFF);
  ++erases;
  start_busy(static_cast<uint64_t>(size <= k4K ? timing_.sector_erase : timing_.block_erase));
}

void SpiFlash::start_busy(uint64_t ticks) {
  busy_ticks_ = ticks;
  if (ticks == 0) wel_ = false;
}

}  // namespace vcam
