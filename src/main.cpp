#include "options.h"
#include "utils.h"

int main(int argc, char** argv) {
  print_banner();
  Options::parseOptions(argc, argv);
  return 0;
}
