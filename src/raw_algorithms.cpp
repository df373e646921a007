#include "raw_algorithms.h"
