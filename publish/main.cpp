#include <iostream>

#include "release/format.h"
#include "publish.h"

#ifdef _WIN32
// Arguments arrive as UTF-16; the commands take UTF-8.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* a = argv[i];
    args.push_back(release::WideToUtf8(WideString(a, a + std::char_traits<wchar_t>::length(a))));
  }
  return RunPublish(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
  return RunPublish(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
