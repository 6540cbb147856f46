#include <cstdio>

int main() {
  std::fputs("farline-phone-sim: not built yet\n", stderr);
  return 1;
}
