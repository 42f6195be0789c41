// One engine per thread: engines share nothing, so several of them
// registering at once, each on its own thread, give exactly what each gives
// alone.  Under ThreadSanitizer (the tsan preset) a race between engines,
// or inside one engine's parallel loops, is reported as well.
#include <thread>

#include "test_support.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kFrames = 3;

struct Case {
  const char* name;
  bool one_to_one;  // both cameras alike: every depth pixel has its own colour pixel
  int team;         // OpenMP threads inside each engine
  bool distortion, gap_fill;
};

// With points competing for a pixel, the winner may depend on the order of
// the engine's own OpenMP threads; such cases run one OpenMP thread per
// engine.  Where no two points compete, the engines run teams of two.
const Case kCases[] = {
    {"Linear", false, 1, false, false},
    {"LinearGapFill", false, 1, false, true},
    {"Distorted", false, 1, true, false},
    {"DistortedGapFill", false, 1, true, true},
    {"OneToOneTeams", true, 2, false, false},
    {"OneToOneDistortedTeams", true, 2, true, false},
};

// What one engine registers: its own calibration and frames.
struct Job {
  int dw, dh, cw, ch;
  SW_QUILM calibration;
  std::vector<std::vector<std::uint16_t>> depth;
};

struct Outcome {
  std::vector<int> results;
  std::vector<std::vector<std::uint16_t>> frames;
};

Job MakeJob(const Case& c, unsigned seed) {
  std::mt19937 rng(seed);
  Job job;
  job.dw = 96;
  job.dh = 72;
  job.cw = c.one_to_one ? job.dw : 128;
  job.ch = c.one_to_one ? job.dh : 96;
  job.calibration = c.one_to_one ? qt::IdentityCalibration(80.0f, 48.0f, 36.0f)
                                 : qt::RandomCalibration(rng, job.dw, job.dh, job.cw, job.ch);
  for (int f = 0; f < kFrames; ++f) job.depth.push_back(qt::RandomScene(rng, job.dw, job.dh));
  return job;
}

// Runs on the thread that owns `engine`.
Outcome Register(DepthToColorImpl& engine, const Case& c, const Job& job) {
  omp_set_num_threads(c.team);
  engine.EnableDistortion(c.distortion);
  engine.EnableDepthGapFill(c.gap_fill);
  engine.PrepareDepthResolution(job.dw, job.dh);
  Outcome o;
  for (const auto& depth : job.depth) {
    o.frames.emplace_back(std::size_t(job.cw) * std::size_t(job.ch), 0xBEEF);
    o.results.push_back(engine.QUILM(depth.data(), job.dw, job.dh, o.frames.back().data(), job.cw, job.ch));
  }
  return o;
}

class OneEnginePerThread : public testing::TestWithParam<Case> {};

TEST_P(OneEnginePerThread, SameResultsAsOneThread) {
  const Case& c = GetParam();
  std::vector<Job> jobs;
  for (int w = 0; w < kWorkers; ++w) jobs.push_back(MakeJob(c, 1000u + unsigned(w)));

  // Alone: each job on the test's thread, one after the other.
  std::vector<Outcome> alone;
  qt::CaptureStderrOf([&] {
    for (const Job& job : jobs) alone.push_back(Register(*qt::LoadedEngine(job.calibration), c, job));
  });

  // At once: every engine on a thread of its own.
  std::vector<std::unique_ptr<DepthToColorImpl>> engines;
  for (const Job& job : jobs) engines.push_back(qt::LoadedEngine(job.calibration));
  std::vector<Outcome> together(kWorkers);
  qt::CaptureStderrOf([&] {
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
      workers.emplace_back([&, w] { together[w] = Register(*engines[w], c, jobs[w]); });
    for (std::thread& t : workers) t.join();
  });

  for (int w = 0; w < kWorkers; ++w) {
    SCOPED_TRACE("engine " + std::to_string(w));
    EXPECT_EQ(together[w].results, std::vector<int>(kFrames, 0));
    ASSERT_EQ(together[w].frames.size(), alone[w].frames.size());
    for (int f = 0; f < kFrames; ++f) {
      EXPECT_EQ(qt::CountDifferent(together[w].frames[f], alone[w].frames[f]), 0u) << "frame " << f;
      EXPECT_GT(std::count_if(alone[w].frames[f].begin(), alone[w].frames[f].end(),
                              [](std::uint16_t v) { return v != 0 && v != 0xBEEF; }),
                0)
          << "frame " << f << " registered nothing";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, OneEnginePerThread, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
