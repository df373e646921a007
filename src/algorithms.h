// algorithms: the estimation methods behind the abstract Algorithm (EM,
// block relaxation with its penalty, quasi-Newton acceleration around
// either), the factory that builds the configured one, and the iteration
// loop with its status line. Everything here runs on the main thread; the
// update steps and objective evaluations run their own parallel loops.
#ifndef KELVANORE_ALGORITHMS_H
#define KELVANORE_ALGORITHMS_H

#include <cstddef>
#include <memory>
#include <string>

#include "convergence.h"
#include "options.h"
#include "types.h"

class SecantQueue;

class Algorithm {
 public:
  Algorithm();
  virtual ~Algorithm();

  virtual void iterate_once(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                            DMatrix& P_out, const DatasetMetadata& meta) = 0;
  virtual void iterate_until_convergence(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in,
                                         DMatrix& Qt_out, DMatrix& P_out, ConvergenceChecker& checker,
                                         const DatasetMetadata& meta);
  virtual int getIterationsPerformed();
  virtual double loglike(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta);
  virtual double objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta);
  virtual bool penalized();
  virtual const char* getName() = 0;
  virtual const char* getShortName() = 0;

  void printStatusLine(int iteration, double before, double after, double seconds);

  static Algorithm* buildAlgorithm(MethodType& method, AccelerationScheme& acceleration,
                                   PenaltyFunction& penalty);

  // The objective of the point that the last run left in its outputs, as the
  // run evaluated it (its last status line), so that a caller need not
  // evaluate it again.
  double getResultObjective() const { return resultObjective; }

  int iterationsPerformed;
  bool printStatus;

 protected:
  // An iterate_once that has already evaluated the point it leaves in its
  // outputs says so here; the loop then takes that value instead of
  // evaluating the same point again. The loop clears it before every step.
  void knowOutputObjective(double value) {
    outputObjectiveKnown = true;
    outputObjective = value;
  }
  void forgetOutputObjective() { outputObjectiveKnown = false; }

  // The loop calls this only when the objective of the start point (Qt_, P_)
  // is not finite, with that objective, and starts from what it leaves in
  // (Qt_, P_) and the value it returns. The base methods keep the start as it
  // is: their first step repairs it.
  virtual double startWithoutFiniteObjective(const GMatrix& G, DMatrix& Qt_, DMatrix& P_,
                                             const DatasetMetadata& meta, double startObjective);

 private:
  bool outputObjectiveKnown = false;
  double outputObjective = 0.0;
  double resultObjective = 0.0;
};

class EmAlgorithm : public Algorithm {
 public:
  EmAlgorithm();
  void iterate_once(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                    DMatrix& P_out, const DatasetMetadata& meta) override;
  const char* getName() override;
  const char* getShortName() override;
};

class PenalizedAlgorithm : public Algorithm {
 public:
  PenalizedAlgorithm();
  explicit PenalizedAlgorithm(const PenaltyFunction& pf);
  double objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) override;
  bool penalized() override;
  PenaltyFunction getPenaltyFunction();

  PenaltyFunction penaltyFunction;
};

class BlockRelaxationAlgorithm : public PenalizedAlgorithm {
 public:
  BlockRelaxationAlgorithm();
  explicit BlockRelaxationAlgorithm(PenaltyFunction pf);
  void iterate_once(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                    DMatrix& P_out, const DatasetMetadata& meta) override;
  const char* getName() override;
  const char* getShortName() override;
};

class QuasiNewtonAcceleratedAlgorithm : public Algorithm {
 public:
  QuasiNewtonAcceleratedAlgorithm(std::unique_ptr<Algorithm> base, int q);
  ~QuasiNewtonAcceleratedAlgorithm() override;

  void iterate_once(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                    DMatrix& P_out, const DatasetMetadata& meta) override;
  void iterate_until_convergence(const GMatrix& G, const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out,
                                 DMatrix& P_out, ConvergenceChecker& checker,
                                 const DatasetMetadata& meta) override;
  double loglike(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) override;
  double objective(const GMatrix& G, const DMatrix& Qt_, const DMatrix& P_, const DatasetMetadata& meta) override;
  bool penalized() override;
  const char* getName() override;
  const char* getShortName() override;

  std::unique_ptr<Algorithm> baseAlgorithm;  // owned: destroyed with the wrapper
  int numSecantConditions;
  std::size_t numParameters;  // (I + L) K: past 2^31 on large data sets
  SecantQueue* secantQueue;  // owned, per run
  DMatrix* Qt_step1;
  DMatrix* Qt_step2;
  DMatrix* P_step1;
  DMatrix* P_step2;
  std::string algorithmName;
  std::string algorithmShortName;

 private:
  // The extrapolated point from the secant pairs into (Qt_out, P_out);
  // false, with the outputs untouched, when it is not finite.
  bool extrapolate(const DMatrix& Qt_in, const DMatrix& P_in, DMatrix& Qt_out, DMatrix& P_out);
  // Keeps the candidate in (Qt_out, P_out), made feasible, or a halving of it
  // towards the two-step point, when its objective beats the two-step
  // point's; else the two-step point.
  void safeguard(const GMatrix& G, DMatrix& Qt_out, DMatrix& P_out, const DatasetMetadata& meta);
  // Starts from the repaired start point: every iteration restores a fixed
  // matrix from its input, so one that only the base step repairs would stay
  // unrepaired for ever. Stops the run when even that point's objective is
  // not finite.
  double startWithoutFiniteObjective(const GMatrix& G, DMatrix& Qt_, DMatrix& P_, const DatasetMetadata& meta,
                                     double startObjective) override;
};

// The quasi-Newton step's inversion of its q x q secant system A into Ainv.
// A failed inversion prints "PROBLEM INVERTING MATRIX!"; with the verbose
// option a reciprocal condition number below 1e-7 prints "RCond: " and the
// number.
void invertSecantSystem(const DMatrix& A, DMatrix& Ainv);

#endif
