// Seeded, bounded fuzzing of the readers of outside input. A run takes its seed from
// QUORIN_FUZZ_SEED, else from the clock, and prints it, so that any run can be repeated; it makes
// at most QUORIN_FUZZ_ITERATIONS inputs (else the test's own count) and stops early after
// QUORIN_FUZZ_SECONDS (default 50). Inputs that ever failed are kept in tests/fuzz/<reader>/, one
// file each, and every run reads them first; an input that fails now is written beside the test's
// temporary files, to be added there.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qt {

class Fuzz {
  public:
    Fuzz(const std::string& reader, int iterations);
    ~Fuzz();  // prints what ran

    // The kept inputs of this reader: file name and bytes.
    struct Kept {
        std::string name, bytes;
    };
    std::vector<Kept> Regressions() const;

    // Whether another input is due; counts it.
    bool Next();
    int done() const { return done_; }

    // Numbers from the run's generator.
    std::mt19937_64& random() { return random_; }
    uint64_t Below(uint64_t n) { return n ? random_() % n : 0; }
    int64_t Within(int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(Below(static_cast<uint64_t>(hi - lo) + 1));
    }
    bool OneIn(uint64_t n) { return Below(n) == 0; }

    // Writes an input that failed, named by the seed and the iteration, with this extension, and
    // says where; returns the path.
    std::string KeepFailure(const std::string& bytes, const std::string& extension);

  private:
    std::string reader_;
    uint64_t seed_;
    int iterations_, done_ = 0;
    double seconds_;
    std::chrono::steady_clock::time_point start_;
    std::mt19937_64 random_;
};

}  // namespace qt
