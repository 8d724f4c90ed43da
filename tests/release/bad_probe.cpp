// Deliberately everything the release exe must not be: console subsystem,
// a mingw runtime DLL import, no ASLR/DEP, a link timestamp, no resources.
#include <iostream>
#include <string>

int main(int argc, char**) {
  std::cout << std::string(static_cast<std::size_t>(argc), 'x') << '\n';
  return 0;
}
