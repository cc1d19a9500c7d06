// RIPEMD-160 and SHA-1 iterations on eight chains in AVX2's 256-bit lanes.
// Only this file is compiled for AVX2 (keying/x86/CMakeLists.txt), and it is
// only called where the processor has AVX2 and the system saves the YMM
// state (keying/derivation_paths.cpp); the rest of the image keeps to
// baseline x86-64.
#include "keying/vector_wipe.h"
#include "keying/x86/path_kernels.h"

namespace {

constexpr int LANES = 8;

// VZEROALL clears every vector register whole (and leaves the upper halves
// clean, so no SSE code after this pays for a state change).
[[gnu::always_inline]] inline void ClearVectorRegisters() { pelmar_keying_wipe::ClearWholeVectorRegisters(); }

#include "keying/x86/lane_rounds.h"

}  // namespace

const PATH_KERNELS AVX2_PATH = {LANES, LaneKernel<RmdCompressDigest>, LaneKernel<Sha1CompressDigest>};
