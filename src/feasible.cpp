#include "feasible.h"
