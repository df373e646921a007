// random: the one generator of the run (a 64-bit xorshift with a
// multiplied output), seeded once by the option parser and drawn from on the
// main thread only: starting Q, starting P, then for each penalty weight the
// cross-validation's shuffle and the bootstrap's block starts.
#ifndef KELVANORE_RANDOM_H
#define KELVANORE_RANDOM_H

#include <cstdint>
#include <vector>

#include "types.h"

void seedRand(unsigned int seed);
double randUnif();                       // [0, 1]
void randShuffle(std::vector<int>& x);   // forward Fisher-Yates
int randInt(int a, int b);               // [a, b] for 0 <= a <= b
double randExp(double rate);
int randBernoulli(double p);
int randBinom(int n, double p);
void randUnifOnSimplex(DVector& v, int K_);
int randDraw(const std::vector<double>& p);
// The generator's current state, for tests.
uint64_t randState();
// Replaces the state (the generator counts as seeded), for tests that need
// a chosen next output.
void setRandState(uint64_t state);

#endif
