#include <iostream>

#include "publish.h"

int main(int argc, char** argv) {
  return RunPublish(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
