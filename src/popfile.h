// popfile: the population labels of a supervised run (base + ".pop").
#ifndef KELVANORE_POPFILE_H
#define KELVANORE_POPFILE_H

#include <string>

// One line per individual: a label numbered by its first appearance, or -1
// for an individual without one (a line of "-", or a blank line). 0 on
// success, 1 on failure (with its detail line). Writes reference_pop.
int readPopFile(const std::string& base);

#endif
