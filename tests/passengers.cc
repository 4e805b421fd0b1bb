// passengers: an independent model of the producer's load.  It carries its
// own copy of glibc's default random generator (the additive feedback
// generator behind rand(), degree 31, separation 3) and prints the attempt
// lines that the producer must print, one passenger per line.
//
//   passengers [COUNT]     default 10000

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

class GlibcRand {
 public:
  explicit GlibcRand(int32_t seed) : r_(34) {
    r_[0] = seed;
    for (int i = 1; i < 31; ++i) {
      // 16807 * r[i-1] mod (2^31 - 1), kept positive, as glibc's srand does.
      int64_t next = (16807LL * r_[i - 1]) % 2147483647LL;
      if (next < 0)
        next += 2147483647LL;
      r_[i] = static_cast<int32_t>(next);
    }
    for (int i = 31; i < 34; ++i)
      r_[i] = r_[i - 31];
    for (int i = 34; i < 344; ++i)
      advance();
  }

  int next() { return static_cast<int>(advance() >> 1); }

 private:
  uint32_t advance() {
    size_t n = r_.size();
    uint32_t value = static_cast<uint32_t>(r_[n - 31]) +
                     static_cast<uint32_t>(r_[n - 3]);
    r_.push_back(static_cast<int32_t>(value));
    return value;
  }

  std::vector<int32_t> r_;
};

}  // namespace

int main(int argc, char** argv) {
  long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
  GlibcRand random(39);
  auto draw = [&](int low, int high) { return low + random.next() % (high - low); };
  for (long i = 0; i < count; ++i) {
    int type = draw(0, 3);
    int from = draw(1, 10);
    int to = 10;
    if (from != 1) {
      if (draw(0, 100) <= 80) {
        to = 1;
      } else {
        to = draw(2, 9);
        if (to == from)
          to = 10;
      }
    }
    std::printf("Attempting to add a person of type %d, to floor %d, going to %d\n",
                type, from, to);
  }
  return 0;
}
