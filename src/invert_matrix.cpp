#include "invert_matrix.h"
