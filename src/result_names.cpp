#include "result_names.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "utils.h"

std::string lambdaText(double lambda) {
  if (std::isnan(lambda)) return "nan";
  if (std::isinf(lambda)) return lambda > 0 ? "inf" : "-inf";
  const double whole = std::trunc(lambda);
  if (whole >= std::numeric_limits<int>::min() && whole <= std::numeric_limits<int>::max())
    return to_string(static_cast<int>(whole));
  // Beyond int, the whole integer part keeps distinct weights apart.
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", whole);
  return text;
}

std::string resultSuffix(double lambda) {
  // A NaN weight is not 0 either.
  return lambda == 0 ? std::string() : ".lambda." + lambdaText(lambda);
}
