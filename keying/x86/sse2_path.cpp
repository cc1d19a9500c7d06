// RIPEMD-160 and SHA-1 iterations on four chains in SSE2's 128-bit lanes.
// SSE2 is part of x86-64, so this file needs no flags beyond the baseline.
#include "keying/vector_wipe.h"
#include "keying/x86/path_kernels.h"

namespace {

constexpr int LANES = 4;
using pelmar_keying_wipe::ClearVectorRegisters;

#include "keying/x86/lane_rounds.h"

}  // namespace

const PATH_KERNELS SSE2_PATH = {LANES, LaneKernel<RmdCompressDigest>, LaneKernel<Sha1CompressDigest>};
