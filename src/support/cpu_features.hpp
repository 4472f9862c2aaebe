#pragma once
// Processor features the hot loops choose their compiled copy by. A plain
// run-time check rather than an ifunc, which sanitizers cannot start under.
// Without FMA contraction (-ffp-contract=off) the AVX2 copies compute the
// same bits as the baseline ones: the same IEEE operations, wider.

namespace kelvara {

bool cpu_has_avx2();

}  // namespace kelvara
