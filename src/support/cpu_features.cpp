#include "support/cpu_features.hpp"

namespace kelvara {

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

}  // namespace kelvara
