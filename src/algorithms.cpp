#include "algorithms.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <utility>

#include "feasible.h"
#include "invert_matrix.h"
#include "raw_algorithms.h"
#include "secant.h"
#include "stops.h"
#include "utils.h"

namespace {

// Below this reciprocal condition number the verbose run reports that the
// secant system is close to singular and the extrapolation may be unreliable.
constexpr double kRcondWarning = 1e-7;

// Candidates tried by the safeguard: the extrapolated point and three
// halvings towards the two-step point.
constexpr int kSafeguardPasses = 4;

bool allFinite(const DVector& x) {
  const double* p = x.data().begin();
  const std::size_t n = x.size();
  for (std::size_t r = 0; r < n; ++r) {
    if (!std::isfinite(p[r])) return false;
  }
  return true;
}

// out = 0.5 * (out + towards), entry by entry.
void halveTowards(DMatrix& out, const DMatrix& towards) {
  double* o = out.data().begin();
  const double* t = towards.data().begin();
  const std::size_t n = out.data().size();
  for (std::size_t r = 0; r < n; ++r) o[r] = (o[r] + t[r]) * 0.5;
}

// Keeps out's storage when the shape already matches.
void copyInto(DMatrix& out, const DMatrix& from) {
  if (out.size1() != from.size1() || out.size2() != from.size2()) out.resize(from.size1(), from.size2(), false);
  ublas::noalias(out) = from;
}

// Copies from into out; true when that changed any bit of out.
bool restore(DMatrix& out, const DMatrix& from) {
  const size_t n = from.data().size();
  const bool same = out.size1() == from.size1() && out.size2() == from.size2() &&
                    (n == 0 || std::memcmp(out.data().begin(), from.data().begin(), n * sizeof(double)) == 0);
  if (!same) copyInto(out, from);
  return !same;
}

// The secant system A = U'U - U'V (q x q): each entry two sums over the
// parameters in ascending order, then their difference, so that a rerun
// gives the same bits whatever the thread count.
DMatrix secantSystem(const DMatrix& U, const DMatrix& V) {
  const std::size_t n = U.size1();
  const std::size_t q = U.size2();
  const double* Ud = U.data().begin();
  const double* Vd = V.data().begin();
  DMatrix A(q, q);
  for (std::size_t a = 0; a < q; ++a) {
    const double* ua = Ud + a * n;
    for (std::size_t b = 0; b < q; ++b) {
      const double* ub = Ud + b * n;
      const double* vb = Vd + b * n;
      double uu = 0.0;
      double uv = 0.0;
      for (std::size_t r = 0; r < n; ++r) {
        uu = uu + ua[r] * ub[r];
        uv = uv + ua[r] * vb[r];
      }
      A(a, b) = uu - uv;
    }
  }
  return A;
}

// x (x1 on entry) becomes x1 - V (Ainv (U' d)), the products applied right
// to left so that only q-sized vectors are formed besides the parameter
// vectors; every sum in ascending order.
void applyExtrapolation(const DMatrix& U, const DMatrix& V, const DMatrix& Ainv, const DVector& d, DVector& x) {
  const std::size_t n = U.size1();
  const std::size_t q = U.size2();
  const double* Ud = U.data().begin();
  const double* Vd = V.data().begin();
  const double* dd = d.data().begin();
  double* xd = x.data().begin();
  DVector w(q);
  for (std::size_t a = 0; a < q; ++a) {
    const double* ua = Ud + a * n;
    double s = 0.0;
    for (std::size_t r = 0; r < n; ++r) s = s + ua[r] * dd[r];
    w(a) = s;
  }
  DVector y(q);
  for (std::size_t a = 0; a < q; ++a) {
    double s = 0.0;
    for (std::size_t b = 0; b < q; ++b) s = s + Ainv(a, b) * w(b);
    y(a) = s;
  }
  for (std::size_t r = 0; r < n; ++r) {
    double z = 0.0;
    for (std::size_t b = 0; b < q; ++b) z = z + Vd[b * n + r] * y(b);
    xd[r] = xd[r] - z;
  }
}

// A feasible point has a finite objective. One that is not finite after a
// step, or at a start point that the repair could not mend, comes from values
// no step repairs (entries that are not numbers): every later delta would be
// undefined and a tolerance never met, so the run would print status lines
// without end.
void stopUnlessFinite(double objective, int iteration) {
  if (std::isfinite(objective)) return;
  std::ostringstream text;
  text << "Error: the objective is " << objective;
  if (iteration == 0)
    text << " at the starting point (iteration 0)";
  else
    text << " after iteration " << iteration;
  text << ": the starting or fixed values of Q and P give an observed genotype a probability of 0 or less,"
          " or are not numbers";
  stopWithMessage(text.str());
}

}  // namespace

// Ainv receives what the inversion leaves, also when it fails: the failure
// is reported whatever the verbosity, a nearly singular system only when
// verbose.
void invertSecantSystem(const DMatrix& A, DMatrix& Ainv) {
  // NaN never compares below the warning bound, and it marks a condition
  // estimate that the inversion did not reach (failed factorisation).
  double rcond = std::numeric_limits<double>::quiet_NaN();
  if (!invert_matrix(A, Ainv, rcond)) std::cout << "PROBLEM INVERTING MATRIX!" << std::endl;
  if (!std::isnan(rcond) && Options::verbosity > 0 && rcond < kRcondWarning)
    std::cout << "RCond: " << rcond << std::endl;
}

// ---- Algorithm -------------------------------------------------------------

Algorithm::Algorithm() : iterationsPerformed(0), printStatus(true) {}

Algorithm::~Algorithm() {}

void Algorithm::iterate_until_convergence(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                                          DMatrix& Qt_out, DMatrix& P_out, ConvergenceChecker& checker,
                                          const DatasetMetadata& meta) {
  DMatrix Qa(Qt_in);
  DMatrix Qb(Qt_in);
  DMatrix Pa(P_in);
  DMatrix Pb(P_in);

  double current = objective(G, Qb, Pb, meta);
  if (!std::isfinite(current)) {
    current = startWithoutFiniteObjective(G, Qb, Pb, meta, current);
    ublas::noalias(Qa) = Qb;
    ublas::noalias(Pa) = Pb;
  }
  iterationsPerformed = 0;
  // Against this the first test sees an increase beyond any usable
  // tolerance, so a run makes its first iteration unless the cap forbids it
  // or the tolerance is infinite (-C inf), which ends it with the start.
  double previous = std::numeric_limits<double>::lowest();

  // A tolerance run whose objective has come to wander (each step moving it
  // up or down by more than the tolerance, as the rounding of a very large
  // objective does) would never meet its tolerance. It is taken as converged
  // once the best objective has not risen by the tolerance for
  // ConvergenceChecker::kStallWindow iterations, and ends at its best point.
  // An iteration cap ends a run by itself.
  const bool watchStall = checker.tolerance > 0;
  // A start whose objective is not finite is no best point: the first finite
  // objective beats it.
  double best = std::isfinite(current) ? current : -std::numeric_limits<double>::infinity();
  int bestIteration = 0;
  bool bestIsCurrent = true;  // else the best point is in Qbest, Pbest
  DMatrix Qbest, Pbest;
  int stalled = 0;

  while (!checker.isConverged(previous, current, iterationsPerformed)) {
    if (watchStall && stalled >= ConvergenceChecker::kStallWindow) break;
    Timer timer;
    timer.start();
    outputObjectiveKnown = false;
    iterate_once(G, Qa, Pa, Qb, Pb, meta);
    const double seconds = timer.stop();

    const double next = outputObjectiveKnown ? outputObjective : objective(G, Qb, Pb, meta);
    stopUnlessFinite(next, iterationsPerformed + 1);
    if (watchStall) {
      stalled = next - best >= checker.tolerance ? 0 : stalled + 1;
      if (next > best) {
        best = next;
        bestIteration = iterationsPerformed + 1;
        bestIsCurrent = true;
      } else if (bestIsCurrent) {
        // The step leaves the best point behind: (Qa, Pa) still holds it.
        copyInto(Qbest, Qa);
        copyInto(Pbest, Pa);
        bestIsCurrent = false;
      }
    }
    ublas::noalias(Qa) = Qb;
    ublas::noalias(Pa) = Pb;
    ++iterationsPerformed;
    if (printStatus) printStatusLine(iterationsPerformed, current, next, seconds);
    previous = current;
    current = next;
  }

  if (watchStall && stalled >= ConvergenceChecker::kStallWindow) {
    if (printStatus) {
      std::ostringstream text;
      text << "Stopped: the objective has not risen above its best value by the tolerance " << checker.tolerance
           << " in " << ConvergenceChecker::kStallWindow << " iterations; the estimate is the best one (iteration "
           << bestIteration << ")";
      std::cout << text.str() << std::endl;
    }
    if (!bestIsCurrent) {
      ublas::noalias(Qb) = Qbest;
      ublas::noalias(Pb) = Pbest;
    }
    current = best;
  }

  resultObjective = current;
  Qt_out = Qb;
  P_out = Pb;
}

double Algorithm::startWithoutFiniteObjective(const GMatrix&, DMatrix&, DMatrix&, const DatasetMetadata&,
                                              double startObjective) {
  return startObjective;
}

int Algorithm::getIterationsPerformed() { return iterationsPerformed; }

double Algorithm::loglike(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) {
  return ::loglike(G, Qt_, P_, meta);
}

double Algorithm::objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) {
  return ::loglike(G, Qt_, P_, meta);
}

bool Algorithm::penalized() { return false; }

void Algorithm::printStatusLine(int iteration, double before, double after, double seconds) {
  std::cout << iteration << " (" << getShortName() << ") \tElapsed: " << seconds
            << (penalized() ? "\tObjective: " : "\tLoglikelihood: ") << after << "\t(delta): " << (after - before)
            << std::endl;
}

Algorithm* Algorithm::buildAlgorithm(MethodType& method, AccelerationScheme& acceleration, PenaltyFunction& penalty) {
  // Written as a negated equality so that a NaN weight counts as a penalty.
  if (method == EM && !(penalty.lambda == 0.0)) {
    std::cout << "Penalized EM algorithm not implemented!" << std::endl;
    Unimplemented();
  }
  switch (acceleration.type) {
    case NONE:
      if (method == EM) return new EmAlgorithm();
      return new BlockRelaxationAlgorithm(penalty);
    case QUASI_NEWTON: {
      AccelerationScheme plain{NONE, 0};
      std::unique_ptr<Algorithm> base(buildAlgorithm(method, plain, penalty));
      return new QuasiNewtonAcceleratedAlgorithm(std::move(base), acceleration.R);
    }
    default:
      Unimplemented();
  }
}

// ---- EmAlgorithm -----------------------------------------------------------

EmAlgorithm::EmAlgorithm() {}

void EmAlgorithm::iterate_once(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                               DMatrix& P_out, const DatasetMetadata& meta) {
  mm_iterate(G, Qt_in, P_in, Qt_out, P_out, meta);
  fix_infeasibility_problem(Qt_out, P_out);
}

const char* EmAlgorithm::getName() { return "EM algorithm"; }

const char* EmAlgorithm::getShortName() { return "EM"; }

// ---- PenalizedAlgorithm ----------------------------------------------------

// Penalty off, with the configuration's default smoothing constant.
PenalizedAlgorithm::PenalizedAlgorithm() : penaltyFunction{0.0, 0.1} {}

PenalizedAlgorithm::PenalizedAlgorithm(const PenaltyFunction& pf) : penaltyFunction(pf) {}

double PenalizedAlgorithm::objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_,
                                     const DatasetMetadata& meta) {
  const PenaltyFunction pf = penaltyFunction;
  return ::objective(G, Qt_, P_, pf, meta);
}

bool PenalizedAlgorithm::penalized() { return !(penaltyFunction.lambda == 0.0); }

PenaltyFunction PenalizedAlgorithm::getPenaltyFunction() { return penaltyFunction; }

// ---- BlockRelaxationAlgorithm ----------------------------------------------

BlockRelaxationAlgorithm::BlockRelaxationAlgorithm() {}

BlockRelaxationAlgorithm::BlockRelaxationAlgorithm(PenaltyFunction pf) : PenalizedAlgorithm(pf) {}

void BlockRelaxationAlgorithm::iterate_once(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                                            DMatrix& Qt_out, DMatrix& P_out, const DatasetMetadata& meta) {
  block_iterate(G, Qt_in, P_in, Qt_out, P_out, penaltyFunction, meta);
  fix_infeasibility_problem(Qt_out, P_out);
}

const char* BlockRelaxationAlgorithm::getName() { return "Block relaxation algorithm"; }

const char* BlockRelaxationAlgorithm::getShortName() { return "Block"; }

// ---- QuasiNewtonAcceleratedAlgorithm ---------------------------------------

QuasiNewtonAcceleratedAlgorithm::QuasiNewtonAcceleratedAlgorithm(std::unique_ptr<Algorithm> base, int q)
    : baseAlgorithm(std::move(base)),
      numSecantConditions(q),
      numParameters(0),
      secantQueue(nullptr),
      Qt_step1(nullptr),
      Qt_step2(nullptr),
      P_step1(nullptr),
      P_step2(nullptr),
      algorithmName(std::string("QuasiNewton accelerated") + baseAlgorithm->getName()),
      algorithmShortName(std::string("QN/") + baseAlgorithm->getShortName()) {
  // The option parser refuses such counts; a queue of no pairs could never
  // be full and would grow without bound.
  if (q < 1) stopWithMessage("Invalid number of secant conditions: " + std::to_string(q));
}

QuasiNewtonAcceleratedAlgorithm::~QuasiNewtonAcceleratedAlgorithm() {}

void QuasiNewtonAcceleratedAlgorithm::iterate_until_convergence(const GMatrix& G, const DMatrix& Qt_in,
                                                                const DMatrix& P_in, DMatrix& Qt_out,
                                                                DMatrix& P_out, ConvergenceChecker& checker,
                                                                const DatasetMetadata& meta) {
  // I, L and K are ints, so the product fits 64 bits.
  numParameters = (G.size1() + G.size2()) * Qt_in.size1();
  Qt_step1 = new DMatrix(Qt_in.size1(), Qt_in.size2());
  P_step1 = new DMatrix(P_in.size1(), P_in.size2());
  Qt_step2 = new DMatrix(Qt_in.size1(), Qt_in.size2());
  P_step2 = new DMatrix(P_in.size1(), P_in.size2());
  secantQueue = new SecantQueue(numParameters, numSecantConditions);

  Algorithm::iterate_until_convergence(G, Qt_in, P_in, Qt_out, P_out, checker, meta);

  delete Qt_step1;
  delete P_step1;
  delete Qt_step2;
  delete P_step2;
  Qt_step1 = Qt_step2 = P_step1 = P_step2 = nullptr;
  delete secantQueue;
  secantQueue = nullptr;
}

void QuasiNewtonAcceleratedAlgorithm::iterate_once(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                                                   DMatrix& Qt_out, DMatrix& P_out, const DatasetMetadata& meta) {
  baseAlgorithm->iterate_once(G, Qt_in, P_in, *Qt_step1, *P_step1, meta);
  baseAlgorithm->iterate_once(G, *Qt_step1, *P_step1, *Qt_step2, *P_step2, meta);
  secantQueue->addSecantCondition(new SecantCondition(&Qt_in, &P_in, Qt_step1, P_step1, Qt_step2, P_step2));

  // Until the queue holds q pairs, and when the extrapolation overflows (it
  // carries no information then, and the repair could turn its entries into
  // arbitrary feasible values), the result is the two-step point.
  if (secantQueue->isFull() && extrapolate(Qt_in, P_in, Qt_out, P_out)) {
    safeguard(G, Qt_out, P_out, meta);
  } else {
    copyInto(Qt_out, *Qt_step2);
    copyInto(P_out, *P_step2);
  }

  // A fixed matrix is restored from the input; the objective already known
  // still holds only if that changed nothing.
  if (!Options::estimateQ && restore(Qt_out, Qt_in)) forgetOutputObjective();
  if (!Options::estimateP && restore(P_out, P_in)) forgetOutputObjective();
}

bool QuasiNewtonAcceleratedAlgorithm::extrapolate(const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                                                  DMatrix& P_out) {
  const std::size_t n = numParameters;
  const std::size_t q = static_cast<std::size_t>(numSecantConditions);
  const std::size_t qLength = Qt_in.size1() * Qt_in.size2();
  const Range qRange(0, qLength);
  const Range pRange(qLength, n);

  DMatrix U(n, q);
  DMatrix V(n, q);
  secantQueue->getUV(U, V);

  // d = x0 - x1; x starts as x1 and becomes the extrapolated point in place,
  // so no further parameter-sized vector is needed.
  DVector d(n);
  DVector x(n);
  matrix_to_vector_range(Qt_in, d, qRange);
  matrix_to_vector_range(P_in, d, pRange);
  matrix_to_vector_range(*Qt_step1, x, qRange);
  matrix_to_vector_range(*P_step1, x, pRange);
  double* dd = d.data().begin();
  const double* xd = x.data().begin();
  for (std::size_t r = 0; r < n; ++r) dd[r] = dd[r] - xd[r];

  DMatrix Ainv(q, q);
  invertSecantSystem(secantSystem(U, V), Ainv);
  applyExtrapolation(U, V, Ainv, d, x);
  if (!allFinite(x)) return false;

  if (Qt_out.size1() != Qt_in.size1() || Qt_out.size2() != Qt_in.size2())
    Qt_out.resize(Qt_in.size1(), Qt_in.size2(), false);
  if (P_out.size1() != P_in.size1() || P_out.size2() != P_in.size2())
    P_out.resize(P_in.size1(), P_in.size2(), false);
  vector_range_to_matrix(x, Qt_out, qRange);
  vector_range_to_matrix(x, P_out, pRange);
  return true;
}

void QuasiNewtonAcceleratedAlgorithm::safeguard(const GMatrix& G, DMatrix& Qt_out, DMatrix& P_out,
                                                const DatasetMetadata& meta) {
  const double f2 = baseAlgorithm->objective(G, *Qt_step2, *P_step2, meta);
  double f = std::numeric_limits<double>::quiet_NaN();
  bool accepted = false;
  for (int pass = 0; pass < kSafeguardPasses && !accepted; ++pass) {
    fix_infeasibility_problem(Qt_out, P_out);
    f = baseAlgorithm->objective(G, Qt_out, P_out, meta);
    accepted = f > f2;
    if (!accepted) {
      halveTowards(Qt_out, *Qt_step2);
      halveTowards(P_out, *P_step2);
    }
  }
  // Keeps the candidate only when it is at least as good as the two-step
  // point; an objective that is not a number never is.
  if (!(f >= f2)) {
    copyInto(Qt_out, *Qt_step2);
    copyInto(P_out, *P_step2);
    knowOutputObjective(f2);
  } else if (accepted) {
    knowOutputObjective(f);
  }
  // Otherwise the last halving, tied with the two-step point, is kept
  // without having been evaluated.
}

double QuasiNewtonAcceleratedAlgorithm::startWithoutFiniteObjective(const GMatrix& G, DMatrix& Qt_, DMatrix& P_,
                                                                    const DatasetMetadata& meta, double) {
  fix_infeasibility_problem(Qt_, P_);
  const double repaired = objective(G, Qt_, P_, meta);
  stopUnlessFinite(repaired, 0);
  return repaired;
}

double QuasiNewtonAcceleratedAlgorithm::loglike(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_,
                                                const DatasetMetadata& meta) {
  return baseAlgorithm->loglike(G, Qt_, P_, meta);
}

double QuasiNewtonAcceleratedAlgorithm::objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_,
                                                  const DatasetMetadata& meta) {
  return baseAlgorithm->objective(G, Qt_, P_, meta);
}

bool QuasiNewtonAcceleratedAlgorithm::penalized() { return baseAlgorithm->penalized(); }

const char* QuasiNewtonAcceleratedAlgorithm::getName() { return algorithmName.c_str(); }

const char* QuasiNewtonAcceleratedAlgorithm::getShortName() { return algorithmShortName.c_str(); }
