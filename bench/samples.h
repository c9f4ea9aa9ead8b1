// A set of measurements and the figures printed from it. Used by one thread.
#ifndef OSTREL_BENCH_SAMPLES_H
#define OSTREL_BENCH_SAMPLES_H

#include <cstddef>
#include <vector>

namespace ostrel_bench {

class Samples {
 public:
  void add(double value) { values_.push_back(value); }
  void append(const Samples& other);
  size_t size() const { return values_.size(); }
  // Nearest-rank percentile, `p` in [0, 100]; 0 for no samples.
  double percentile(double p) const;
  double median() const { return percentile(50); }

 private:
  std::vector<double> values_;
};

}  // namespace ostrel_bench

#endif  // OSTREL_BENCH_SAMPLES_H
