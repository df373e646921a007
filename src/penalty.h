// The penalty on Q: its weight and smoothing constant. A header of its own so
// that the engine's interface names the type without the run configuration.
#ifndef KELVANORE_PENALTY_H
#define KELVANORE_PENALTY_H

struct PenaltyFunction {
  double lambda;   // weight of the penalty on Q; 0 switches it off
  double epsilon;  // smoothing constant
};

#endif
