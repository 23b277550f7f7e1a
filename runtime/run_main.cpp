// Placeholder until the program is written.
#include <cstdio>
int main() {
  std::fprintf(stderr, "tavok-run: not yet built\n");
  return 2;
}
