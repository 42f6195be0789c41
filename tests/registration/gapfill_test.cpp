// Gap-fill depth table: the key, the compare-and-replace of an entry and how
// points reach the 2x2 block.
#include <atomic>
#include <cstdlib>
#include <new>

#include "test_support.h"

// Counts array allocations, to see whether a frame creates a gap-fill table.
namespace {
std::atomic<int> g_array_news{0};
}
void* operator new[](std::size_t n) {
  g_array_news.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct KeyCase {
  float dist;
  std::uint16_t depth;
  std::int32_t key;
};
void PrintTo(const KeyCase& c, std::ostream* os) { *os << "dist_" << c.dist << "_depth_" << c.depth; }

class GapFillKey : public testing::TestWithParam<KeyCase> {};

TEST_P(GapFillKey, FollowsDepthThenDistance) {
  const KeyCase c = GetParam();
  EXPECT_EQ(genKeyValue(c.dist, c.depth), c.key);
  EXPECT_EQ(ref::Key(c.dist, c.depth), c.key);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GapFillKey,
    testing::Values(KeyCase{0.0f, 1000, 2010},   // on the pixel
                    KeyCase{1.0f, 1000, 2000},   // right or lower neighbour
                    KeyCase{2.0f, 1000, 1995},   // diagonal, 1995.86 truncated
                    KeyCase{0.25f, 800, 2105},   // half a pixel away
                    KeyCase{0.0f, 5003, 8},      // (5000 - 5003) >> 1 = -2
                    KeyCase{4.5f, 65535, -30279},
                    KeyCase{4.5f, 5001, -12}));  // -1 - 11.2 truncated toward zero

TEST(GapFillEntry, KeepsTheHighestKeyAndTheFirstOfEqualOnes) {
  QUILMDist entry;
  entry.Clear();
  EXPECT_EQ(entry.depth(), 0);
  entry.Offer(-30279, 65535);  // the lowest possible key still enters
  EXPECT_EQ(entry.depth(), 65535);
  entry.Offer(2000, 1000);
  entry.Offer(2000, 1001);  // equal key: the first stays
  entry.Offer(1999, 900);   // lower key: ignored
  EXPECT_EQ(entry.keyValue(), 2000);
  EXPECT_EQ(entry.depth(), 1000);
}

// Many threads offering to few entries: each ends with the maximum key and
// that key's depth, never a key of one point with the depth of another.
TEST(GapFillEntry, ConcurrentOffersKeepKeyAndDepthTogether) {
  constexpr int kEntries = 4, kOffers = 200000;
  std::vector<QUILMDist> entries(kEntries);
  for (auto& e : entries) e.Clear();
#pragma omp parallel for num_threads(4) schedule(static)
  for (int i = 0; i < kOffers; ++i) {
    const std::int32_t key = (i * 7919) % 100003;
    entries[std::size_t(i % kEntries)].Offer(key, std::uint16_t(key & 0xFFFF));
  }
  for (int k = 0; k < kEntries; ++k) {
    std::int32_t best = INT32_MIN;
    for (int i = k; i < kOffers; i += kEntries) best = std::max(best, (i * 7919) % 100003);
    EXPECT_EQ(entries[std::size_t(k)].keyValue(), best);
    EXPECT_EQ(entries[std::size_t(k)].depth(), std::uint16_t(best & 0xFFFF));
  }
}

// A vertical baseline of 600 mm: the upper half of the depth image, at 1 m,
// lands half an image lower, on the colour rows that the lower half, at
// 60 m, reaches a row below its own; the two threads' blocks meet on every
// row, at the same time. The nearer points always win there, so every run
// on two threads must give the one-thread result; an entry updated without
// the locked exchange would now and then keep a farther point.
TEST(GapFillThreads, BlocksOfTwoThreadsMeetingOnEveryRow) {
  constexpr int W = 160, H = 120;
  SW_QUILM c = qt::IdentityCalibration(100, 80, 60);
  c.quilm_t[1] = 600;
  auto engine = qt::LoadedEngine(c, W, H);
  engine->EnableDepthGapFill(true);
  std::vector<std::uint16_t> depth(W * H);
  for (int i = 0; i < W * H; ++i) depth[std::size_t(i)] = i < W * H / 2 ? 1000 : 60000;
  const auto one = qt::RunFrame(*engine, depth, W, H, W, H, 1);
  ASSERT_EQ(one[std::size_t((H / 2 + 10) * W + 20)], 1000);
  for (int run = 0; run < 600; ++run) {
    ASSERT_EQ(qt::RunFrame(*engine, depth, W, H, W, H, 2), one) << "run " << run;
  }
}

// Frames on hand-made calibrations where the landing spot is known.
class GapFillFrame : public testing::Test {
 protected:
  static constexpr int W = 12, H = 10;
  // Same-size cameras; colour pixels sit `shift` to the right of the depth
  // pixels they see. A focal length of 16 keeps the unshifted landing spots
  // exact.
  void Prepare(float shift = 0.0f) {
    SW_QUILM c = qt::IdentityCalibration(16, 6, 5);
    c.c_intr_p[2] += shift;
    engine_ = qt::LoadedEngine(c, W, H);
    engine_->EnableDepthGapFill(true);
  }
  void Set(int u, int v, std::uint16_t d) { depth_[std::size_t(v * W + u)] = d; }
  std::vector<std::uint16_t> Run() { return qt::RunFrame(*engine_, depth_, W, H, W, H); }
  static std::uint16_t At(const std::vector<std::uint16_t>& out, int u, int v) {
    return out[std::size_t(v * W + u)];
  }

  std::unique_ptr<DepthToColorImpl> engine_;
  std::vector<std::uint16_t> depth_ = std::vector<std::uint16_t>(W * H, 0);
};

TEST_F(GapFillFrame, OnePointFillsItsBlockToTheRightAndDown) {
  Prepare();
  Set(4, 3, 1000);
  const auto out = Run();
  for (int v = 0; v < H; ++v)
    for (int u = 0; u < W; ++u)
      EXPECT_EQ(At(out, u, v), (u == 4 || u == 5) && (v == 3 || v == 4) ? 1000 : 0) << u << "," << v;
}

TEST_F(GapFillFrame, LastRowAndColumnAreReachedOnlyAsNeighbours) {
  Prepare();
  Set(W - 2, H - 2, 6000);  // beyond 5000 the key is negative; it still enters
  Set(W - 1, 2, 900);       // lands in the last column: dropped
  const auto out = Run();
  EXPECT_EQ(At(out, W - 1, H - 1), 6000);
  EXPECT_EQ(At(out, W - 1, 2), 0);
}

struct RivalCase {
  std::uint16_t first, second;  // depths, in the order they are entered
  std::uint16_t expected;
};
void PrintTo(const RivalCase& c, std::ostream* os) { *os << c.first << "_then_" << c.second; }

class GapFillRivals : public GapFillFrame, public testing::WithParamInterface<RivalCase> {};

// (5, 2) reaches (5, 3) as its lower neighbour before (4, 3) reaches it as
// its right neighbour; both at squared distance 1.
TEST_P(GapFillRivals, NearerWinsAtEqualDistance) {
  const RivalCase c = GetParam();
  Prepare();
  Set(5, 2, c.first);
  Set(4, 3, c.second);
  EXPECT_EQ(At(Run(), 5, 3), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, GapFillRivals,
                         testing::Values(RivalCase{1000, 1100, 1000}, RivalCase{1100, 1000, 1000},
                                         RivalCase{1001, 1002, 1001},    // same key: first stays
                                         RivalCase{1002, 1001, 1002}));  // same key: first stays

// With everything 0.3 px to the right, pixel (5, 3) sees its own point at
// squared distance 0.09 and the point of (4, 3) at 0.49: the closer one wins
// over a slightly nearer surface, but not over a clearly nearer one.
TEST_F(GapFillFrame, CloserPointBeatsSlightlyNearerOne) {
  Prepare(0.3f);
  Set(4, 3, 1000);
  Set(5, 3, 1004);
  EXPECT_EQ(At(Run(), 5, 3), 1004);
  Set(5, 3, 1020);
  EXPECT_EQ(At(Run(), 5, 3), 1000);
}

TEST_F(GapFillFrame, NothingSurvivesFromThePreviousFrame) {
  Prepare();
  std::fill(depth_.begin(), depth_.end(), 1500);
  Run();
  std::fill(depth_.begin(), depth_.end(), 0);
  Set(2, 2, 700);
  const auto out = Run();
  EXPECT_EQ(std::count(out.begin(), out.end(), 700), 4);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), W * H - 4);
}

TEST_F(GapFillFrame, TableExistsOnlyWhenGapFillIsOn) {
  Prepare();
  std::vector<std::uint16_t> out(W * H);
  for (bool on : {false, true}) {
    engine_->EnableDepthGapFill(on);
    testing::internal::CaptureStderr();
    const int before = g_array_news.load();
    EXPECT_EQ(engine_->QUILM(depth_.data(), W, H, out.data(), W, H), 0);
    const int allocations = g_array_news.load() - before;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(allocations, on ? 1 : 0) << "gap fill " << on;
  }
}

}  // namespace
