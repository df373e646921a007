#include "algorithms.h"
