// Entry points bound by name in the library-binding tests.
#include <cstring>

namespace {
int g_calls = 0;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) int WpSampleAdd(int a, int b) {
  ++g_calls;
  return a + b;
}

// Counts calls across bindings, so a test can tell one loaded copy from two.
__attribute__((visibility("default"))) int WpSampleCalls() {
  return g_calls;
}

__attribute__((visibility("default"))) int WpSampleName(char* buffer, int size) {
  const char name[] = "wpsample";
  if (size < static_cast<int>(sizeof name)) return 0;
  std::memcpy(buffer, name, sizeof name);
  return static_cast<int>(sizeof name) - 1;
}
}
