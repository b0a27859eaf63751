// The mixed-radix FFT's plan: factoring a length into radices, the cost
// estimate and the twiddle table; the passes that run a plan are compiled
// once per instruction-set variant (mixed_radix_passes.cpp).
#include "fft/mixed_radix.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "fft/fft_internal.h"

namespace korvale {
namespace {

// The largest power of two in N / R with which a pass of two radices in one
// (R = 9, 10, 15 or 16) is used (see factor).
constexpr int kWideRadixMaxTwos = 6;

// Whether n has no prime factor above kMixedRadixLargestRadix.
bool smooth(int n) {
  for (int p = 2; p <= kMixedRadixLargestRadix && n > 1; ++p) {
    while (n % p == 0) n /= p;
  }
  return n == 1;
}

// Radices of n in running order: fours, then a two when n has an odd power
// of two 2^1, then threes, fives, sevens and the primes from 11 up to
// kMixedRadixLargestRadix, then the larger primes P whose P - 1 has no prime
// factor above kMixedRadixLargestRadix (Rader passes), then an eight when n
// has an odd power of two 2^3 or more, which takes the place of a four and a
// two. 0 passes when n has another prime factor.
//
// `wide` adds the passes of two radices in one, in registers, one trip of
// the line through memory fewer: nines for pairs of threes and a fifteen for
// a three and a five (after the fours and the two), and, last, a sixteen in
// place of two fours when n has an even power of two 2^4 or more and an odd
// factor, or, when n has an odd power of two 2^5 or more and a five, a ten
// (first) for a two and a five with a sixteen in place of the eight; a lone
// two (n = 2 x odd, as in the sub-plans of Rader passes for P = 3 mod 4)
// goes first with a five (ten) or a seven (fourteen). Against the single
// passes, the 107 DFTs of 540 to 12000 points with a nine, a fifteen or a
// sixteen took 0.79 to 1.05 of the time, 0.93 at the median (2160: 0.82,
// 6000: 0.83); the ten took off 4 to 9 % more (4000, 12000, 1920, and the
// chirp-z over them), the lone two's pairs 5 to 9 % (126 = 14 9,
// 250 = 10 5 5, and 2667, whose Rader pass runs 126). They are left out
// where their outputs would lie a multiple of 2 KB apart (a power of two
// above 2^6 in n / R for a middle pass, or in n / 16 for the sixteen):
// their 9 to 16 streams then fall into the same cache sets (3840 = 2^8 15
// took 1.1 to 1.2 times as long with a fifteen, 4608 = 2^9 9 1.05 with a
// nine). For the same reason the eight and the sixteen run last, where a
// block's inputs are consecutive and need no twiddles, and a power of two
// keeps its fours (4096 as four fours and a sixteen: 8 % slower than six
// fours). Plans run the wide radices; the cost estimate counts the single
// passes (see mixed_radix_cost_of).
int factor(int n, int* radix, bool wide) {
  int twos = 0;
  for (; n % 2 == 0; n /= 2) ++twos;
  const bool wide_ok = wide && twos <= kWideRadixMaxTwos;
  // A two and an odd prime in one prime-factor pass, run first: a ten for an
  // odd power of two from 2^5 with a five (the rest of the twos then as fours
  // and a sixteen) or for a lone two (n = 2 x odd) with a five, else a
  // fourteen for a lone two with a seven.
  int pair = 0;
  if (wide && n % 5 == 0 &&
      (twos == 1 || (twos >= 5 && twos % 2 == 1 && twos - 1 <= kWideRadixMaxTwos))) {
    pair = 10;
  } else if (wide && twos == 1 && n % 7 == 0) {
    pair = 14;
  }
  if (pair != 0) {
    twos -= 1;
    n /= pair / 2;
  }
  const bool eight = twos >= 3 && twos % 2 == 1;
  if (eight) twos -= 3;
  const bool sixteen = wide && !eight && twos >= 4 && n > 1 && twos - 4 <= kWideRadixMaxTwos;
  if (sixteen) twos -= 4;
  int passes = 0;
  if (pair != 0) radix[passes++] = pair;
  for (; twos >= 2; twos -= 2) radix[passes++] = 4;
  if (twos == 1) radix[passes++] = 2;
  for (; wide_ok && n % 9 == 0; n /= 9) radix[passes++] = 9;
  if (wide_ok && n % 15 == 0) {
    radix[passes++] = 15;
    n /= 15;
  }
  for (int p = 3; p <= kMixedRadixLargestRadix; p += 2) {
    while (n % p == 0) {  // no odd composite divides what is left
      radix[passes++] = p;
      n /= p;
    }
  }
  for (int p = kMixedRadixLargestRadix + 2; n > 1; p += 2) {
    if (p * p > n) p = n;  // what is left is prime
    if (n % p != 0) continue;
    if (!smooth(p - 1)) return 0;
    for (; n % p == 0; n /= p) radix[passes++] = p;
  }
  if (eight) radix[passes++] = 8;
  if (sixteen) radix[passes++] = 16;
  return n == 1 ? passes : 0;
}

// The general odd butterfly's operations count this many times over: on
// lengths with a radix from 11 to 31, its passes ran at 0.5 to 0.85 of the
// fixed butterflies' rate per counted operation (its pairs do not all stay
// in registers).
constexpr double kOddButterflyWeight = 1.5;

double mixed_radix_cost_of(int n);

// What a Rader pass's butterfly costs beyond its counted operations: the
// calls of its two sub-plans, whose short passes have little to amortise
// their loops over, and the gathering and scattering of its points in
// generator order; and the weight of the sub-plans' counts. Fitted to the
// run times of Rader passes of 37 to 211 points, where the count alone came
// out at half of them for the smallest, and then to every 5th length up to
// 6000 that has a Rader pass: with these, 354 of them take the mixed-radix
// route, at 0.6 of the chirp-z's time on average, and a few within noise of
// it (0.9 to 1.1) or up to 1.25 times it.
constexpr double kRaderBlockCost = 2400;
constexpr double kRaderFftWeight = 1.5;

// Operations per point of one pass of each radix: the butterfly's adds and
// multiplies over R points, plus (R - 1)/R twiddle products of 6. The
// general odd butterfly (R = 7 and from 11, h = (R - 1)/2 pairs) does
// 4 (R - 1) for the pairs' sums and differences, 2 h for output 0, 8 h^2 for
// the h sums of h products on each side, 4 h to join them (single radices
// only: the estimate factors n without the passes of two in one, see
// mixed_radix_cost_of). A Rader pass
// (R > kMixedRadixLargestRadix) does two FFTs of R - 1 points, the kernel's
// product (6 a point) and output 0's sum (2), counts 2 a point for the
// gathering and scattering, and adds kRaderBlockCost.
double pass_cost(int radix) {
  if (radix > kMixedRadixLargestRadix) {
    const double q = radix - 1;
    return (2 * kRaderFftWeight * mixed_radix_cost_of(radix - 1) + 10 * q + kRaderBlockCost) /
               radix +
           6.0 * (radix - 1) / radix;
  }
  if (radix == 7 || radix > 8) {
    const double h = (radix - 1) / 2;
    return kOddButterflyWeight * (4.0 * (radix - 1) + 6 * h + 8 * h * h) / radix +
           6.0 * (radix - 1) / radix;
  }
  switch (radix) {
    case 2:
      return 2 + 3;
    case 3:
      return 16.0 / 3 + 4;
    case 4:
      return 4 + 4.5;
    case 5:
      return 40.0 / 5 + 4.8;
    default:
      return 56.0 / 8 + 5.25;
  }
}

// Over the single passes (factor without the wide radices): what those save
// is a trip through memory, which the counts leave out, and the weights here
// and the choice of routes (chirpz/chirpz.h) were fitted to single passes
// (counted by their own operations, the wide ones moved 79 lengths to the
// other route, 75 of them to the slower one).
double mixed_radix_cost_of(int n) {
  int radix[kMixedRadixMaxPasses];
  const int passes = n == 1 ? 0 : factor(n, radix, false);
  double per_point = 0;
  for (int p = 0; p < passes; ++p) per_point += pass_cost(radix[p]);
  return per_point * n;
}

// The smallest generator of the multiplicative group mod the prime p: g
// whose powers g^((p - 1)/f) differ from 1 for every prime f of p - 1.
int generator_mod(int p) {
  const auto power = [p](long long b, int e) {
    long long r = 1;
    for (; e > 0; e /= 2, b = b * b % p) {
      if (e % 2 == 1) r = r * b % p;
    }
    return r;
  };
  for (int g = 2;; ++g) {
    bool generates = true;
    int m = p - 1;
    for (int f = 2; m > 1 && generates; ++f) {
      if (m % f != 0) continue;
      generates = power(g, (p - 1) / f) != 1;
      while (m % f == 0) m /= f;
    }
    if (generates) return g;
  }
}

MixedRadixSubPlan new_sub_plan() {
  void* at = try_alloc_bytes(1, sizeof(MixedRadixPlan), "mrtw");
  if (at == nullptr) die_no_memory("mrtw");
  return MixedRadixSubPlan(new (at) MixedRadixPlan);
}

// The tables of a Rader pass of the prime p (see MixedRadixRader), for the
// direction sign s: the orders of g's powers, the sub-plans of p - 1 points
// and the spectrum of h[m] = exp(s 2 pi i g^m / p), its angles exact in
// integers and their cosines and sines in long double, transformed by the
// forward sub-plan and divided by p - 1.
void rader_build(MixedRadixRader* r, int p, bool inverse) {
  const int q = p - 1;
  const int g = generator_mod(p);
  r->order = named_buffer<int>(2 * static_cast<std::size_t>(q), "mrtw");
  r->sub_work = mixed_radix_work_doubles(q);
  r->kernel = named_buffer<double>(r->sub_work, "mrtw");
  r->forward = new_sub_plan();
  r->backward = new_sub_plan();
  mixed_radix_build(r->forward.get(), q, false);
  mixed_radix_build(r->backward.get(), q, true);
  const long double sign = inverse ? 1.0L : -1.0L;
  const long double step = 2.0L * 3.141592653589793238462643383279502884L / p;
  long long power = 1;  // g^j mod p
  for (int j = 0; j < q; ++j, power = power * g % p) {
    r->order[q + j] = static_cast<int>(power);
    r->order[(q - j) % q] = static_cast<int>(power);  // g^-((q - j) mod q) = g^j
    r->kernel[2 * j] = static_cast<double>(std::cos(step * power));
    r->kernel[2 * j + 1] = static_cast<double>(sign * std::sin(step * power));
  }
  mixed_radix_run(*r->forward, r->kernel.get());
  for (int j = 0; j < 2 * q; ++j) r->kernel[j] /= q;
}

}  // namespace

void MixedRadixPlanFree::operator()(MixedRadixPlan* plan) const {
  plan->~MixedRadixPlan();
  std::free(plan);
}

bool mixed_radix_supports(int n) {
  int radix[kMixedRadixMaxPasses];
  return n >= 1 && n <= kMixedRadixMaxLength && (n == 1 || factor(n, radix, false) > 0);
}

double mixed_radix_cost(int n) {
  return mixed_radix_supports(n) ? mixed_radix_cost_of(n) : 0;
}

int mixed_radix_work_doubles(int n) {
  int radix[kMixedRadixMaxPasses];
  const int passes = n <= 1 ? 0 : factor(n, radix, true);
  int extra = 0;  // two work areas of the largest Rader sub-plan
  for (int p = 0; p < passes; ++p) {
    if (radix[p] > kMixedRadixLargestRadix) {
      extra = std::max(extra, 2 * mixed_radix_work_doubles(radix[p] - 1));
    }
  }
  return 4 * n + extra;
}

void mixed_radix_build(MixedRadixPlan* plan, int n, bool inverse) {
  if (!mixed_radix_supports(n)) {
    std::fprintf(stderr, "mixed_radix_build: cannot plan N = %d\n", n);
    std::abort();
  }
  plan->length = n;
  plan->inverse = inverse;
  plan->passes = n == 1 ? 0 : factor(n, plan->radix, true);

  // Pass p needs (R - 1)(ido - 1) twiddles, stored by pairs of points (see
  // run_pass in mixed_radix_passes.cpp), so (R - 1) 2 floor(ido / 2); in all
  // fewer than N.
  std::size_t total = 0;
  for (int p = 0, l1 = 1; p < plan->passes; l1 *= plan->radix[p++]) {
    const int ido = n / (l1 * plan->radix[p]);
    plan->twiddle_at[p] = static_cast<int>(total);
    total += static_cast<std::size_t>(plan->radix[p] - 1) * 2 * (ido / 2);
  }
  plan->twiddle = named_buffer<double>(2 * total + 2, "mrtw");

  // exp(s 2 pi i c l1 i / N), the angle's numerator c l1 i < N kept exact in
  // integers and the cosine and sine taken in long double.
  const long double sign = inverse ? 1.0L : -1.0L;
  const long double step = 2.0L * 3.141592653589793238462643383279502884L / n;
  for (int p = 0, l1 = 1; p < plan->passes; l1 *= plan->radix[p++]) {
    const int ido = n / (l1 * plan->radix[p]);
    double* tw = plan->twiddle.get() + 2 * static_cast<std::size_t>(plan->twiddle_at[p]);
    for (int c = 1; c < plan->radix[p]; ++c) {
      for (int i = 1; i < ido; ++i) {
        const long double angle = step * (static_cast<long long>(c) * l1 * i);
        const std::size_t at =
            (static_cast<std::size_t>((i - 1) / 2) * (plan->radix[p] - 1) + c - 1) * 2 +
            (i - 1) % 2;
        tw[2 * at] = static_cast<double>(std::cos(angle));
        tw[2 * at + 1] = static_cast<double>(sign * std::sin(angle));
      }
    }
  }
  for (int p = 0; p < kMixedRadixMaxPasses; ++p) {
    plan->rader[p] = {};
    if (p < plan->passes && plan->radix[p] > kMixedRadixLargestRadix) {
      rader_build(&plan->rader[p], plan->radix[p], inverse);
    }
  }
}

void mixed_radix_run(const MixedRadixPlan& plan, double* work) {
  fft_detail::active_stage_set().mixed_radix_run(plan, work, nullptr, plan.length, plan.length);
}

void mixed_radix_run_times(const MixedRadixPlan& plan, double* work, const double* f) {
  fft_detail::active_stage_set().mixed_radix_run(plan, work, f, plan.length, plan.length);
}

void mixed_radix_run_pruned(const MixedRadixPlan& plan, double* work, const double* f,
                            int nonzero_in, int needed_out) {
  fft_detail::active_stage_set().mixed_radix_run(plan, work, f, nonzero_in, needed_out);
}

}  // namespace korvale
