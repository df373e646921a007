#include "convergence.h"
