// result_names: the part of a result file's name that a penalty weight
// gives, for the writer and for the option parser, which refuses two
// weights whose files would have one name.
#ifndef KELVANORE_RESULT_NAMES_H
#define KELVANORE_RESULT_NAMES_H

#include <string>

// The text of a penalty weight in result file names (".lambda." and it):
// its integer part, so 10.9 gives "10" and 0.5 and -0.3 give "0".
std::string lambdaText(double lambda);
// What a pass of the weight adds to its result file names: nothing for the
// weight 0, else ".lambda." and lambdaText.
std::string resultSuffix(double lambda);

#endif
