// Whirlpool's compression written for PBKDF2's iterations. An HMAC of a
// 64-byte value takes four compressions: the inner keyed state with the
// value, the inner end block (the end mark and the length of 128 bytes),
// the outer keyed state with the inner digest, the outer end block. The
// first and the third start from the same two keyed states every time, so
// their key schedules (the ten round keys derived from the chaining value)
// are computed once per derivation; that leaves six of the eight halves of
// work (key schedule and message, ten rounds each) to the iterations.
//
// One round's substitution, column mixing and row shift are table lookups:
// byte j of word s lands in word s + j, multiplied by the matrix row that
// the table entry, turned right by j bytes, holds. The table is computed at
// compile time from the S-box's construction out of its three 4-bit boxes;
// its eight turns are spread into eight tables on first use, in memory that
// takes no room in the image.
#include "keying/whirlpool_path.h"
#include "keying/vector_wipe.h"

#include <tomcrypt.h>

namespace {

// The S-box's 4-bit boxes E and R; the third is E's inverse.
constexpr uint8_t BOX_E[16] = {0x1, 0xB, 0x9, 0xC, 0xD, 0x6, 0xF, 0x3, 0xE, 0x8, 0x7, 0x4, 0xA, 0x2, 0x5, 0x0};
constexpr uint8_t BOX_R[16] = {0x7, 0xC, 0xB, 0xD, 0xE, 0x4, 0x9, 0xF, 0x6, 0x3, 0x8, 0xA, 0x2, 0x5, 0x1, 0x0};

constexpr uint8_t InverseE(uint32_t value) {
    for (uint8_t i = 0; i < 16; ++i) {
        if (BOX_E[i] == value) {
            return i;
        }
    }
    return 0;
}

constexpr uint8_t SBox(uint32_t x) {
    const uint32_t high = BOX_E[x >> 4], low = InverseE(x & 0xF);
    const uint32_t mixed = BOX_R[high ^ low];
    return static_cast<uint8_t>((BOX_E[high ^ mixed] << 4) | InverseE(low ^ mixed));
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x^2 + 1, by factors
// below 16.
constexpr uint8_t Times(uint32_t value, uint32_t factor) {
    uint32_t product = 0;
    for (uint32_t bit = 0; bit < 4; ++bit) {
        if ((factor >> bit) & 1) {
            product ^= value;
        }
        value <<= 1;
        if (value & 0x100) {
            value ^= 0x11D;
        }
    }
    return static_cast<uint8_t>(product);
}

struct Table {
    uint64_t Entry[256];
};

// Entry x: S(x) times the first row of the mixing matrix, cir(1, 1, 4, 1,
// 8, 5, 2, 9), most significant byte first.
constexpr Table MakeTable() {
    constexpr uint8_t row[8] = {1, 1, 4, 1, 8, 5, 2, 9};
    Table table{};
    for (uint32_t x = 0; x < 256; ++x) {
        uint64_t entry = 0;
        for (uint32_t i = 0; i < 8; ++i) {
            entry = (entry << 8) | Times(SBox(x), row[i]);
        }
        table.Entry[x] = entry;
    }
    return table;
}

struct RoundConstants {
    uint64_t Word[10];
};

// Round r's constant, added to the first word of the key: the S-box's
// bytes 8 r to 8 r + 7.
constexpr RoundConstants MakeRoundConstants() {
    RoundConstants constants{};
    for (uint32_t r = 0; r < 10; ++r) {
        uint64_t word = 0;
        for (uint32_t i = 0; i < 8; ++i) {
            word = (word << 8) | SBox(8 * r + i);
        }
        constants.Word[r] = word;
    }
    return constants;
}

constexpr Table TABLE = MakeTable();
constexpr RoundConstants ROUND_CONSTANTS = MakeRoundConstants();
static_assert(TABLE.Entry[0] == 0x18186018C07830D8ull && TABLE.Entry[1] == 0x23238C2305AF4626ull);
static_assert(ROUND_CONSTANTS.Word[0] == 0x1823C6E887B8014Full);

// Turned[j][x] is TABLE's entry x turned right by j bytes. Filled once, by
// the first derivation that needs it; later ones wait for it to be whole.
// Both in the uninitialized-data section by name: with a section per
// variable, the Windows image's linker would otherwise place them among the
// initialized data and store their 16 KiB of zeros in the file.
[[gnu::section(".bss")]] uint64_t Turned[8][256];
[[gnu::section(".bss")]] int TurnedState;  // 0 empty, 1 being filled, 2 whole

void FillTurnedTables() {
    if (__atomic_load_n(&TurnedState, __ATOMIC_ACQUIRE) == 2) {
        return;
    }
    int empty = 0;
    if (__atomic_compare_exchange_n(&TurnedState, &empty, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        for (uint32_t x = 0; x < 256; ++x) {
            const uint64_t entry = TABLE.Entry[x];
            Turned[0][x] = entry;
            for (uint32_t j = 1; j < 8; ++j) {
                Turned[j][x] = (entry >> (8 * j)) | (entry << (64 - 8 * j));
            }
        }
        __atomic_store_n(&TurnedState, 2, __ATOMIC_RELEASE);
        return;
    }
    while (__atomic_load_n(&TurnedState, __ATOMIC_ACQUIRE) != 2) {
    }
}

// out = round(in) ^ add: substitution, row shift and column mixing of the
// eight words in, plus the round's key (or constant). out may be in.
[[gnu::noinline]] void Round(const uint64_t in[8], uint64_t out[8], const uint64_t add[8]) {
    uint64_t sum[8];
#pragma GCC unroll 8
    for (uint32_t i = 0; i < 8; ++i) {
        sum[i] = add[i];
    }
#pragma GCC unroll 8
    for (uint32_t s = 0; s < 8; ++s) {
        const uint64_t word = in[s];
#pragma GCC unroll 8
        for (uint32_t j = 0; j < 8; ++j) {
            sum[(s + j) & 7] ^= Turned[j][(word >> (56 - 8 * j)) & 0xFF];
        }
    }
#pragma GCC unroll 8
    for (uint32_t i = 0; i < 8; ++i) {
        out[i] = sum[i];
    }
}

// The ten round keys after a chaining value, and the value itself first.
struct KeySchedule {
    uint64_t Key[11][8];
};

void Schedule(const ulong64 chaining[8], KeySchedule *schedule) {
    uint64_t constant[8] = {};
    for (uint32_t i = 0; i < 8; ++i) {
        schedule->Key[0][i] = chaining[i];
    }
    for (uint32_t r = 0; r < 10; ++r) {
        constant[0] = ROUND_CONSTANTS.Word[r];
        Round(schedule->Key[r], schedule->Key[r + 1], constant);
    }
}

// The compression of message into the chaining value whose keys are
// given: chaining ^ message ^ the ten rounds of (message ^ key 0).
void CompressKeyed(const KeySchedule *schedule, const uint64_t message[8], uint64_t out[8], uint64_t state[8]) {
    for (uint32_t i = 0; i < 8; ++i) {
        state[i] = message[i] ^ schedule->Key[0][i];
    }
    for (uint32_t r = 1; r <= 10; ++r) {
        Round(state, state, schedule->Key[r]);
    }
    for (uint32_t i = 0; i < 8; ++i) {
        out[i] = schedule->Key[0][i] ^ state[i] ^ message[i];
    }
}

// The end block after 128 bytes: the end mark, zeros, and the length in
// bits in the last of the 32 length bytes.
constexpr uint64_t END_MARK = 0x8000000000000000ull;
constexpr uint64_t END_LENGTH = 128 * 8;

// chaining = compression of the end block into chaining; key and state
// are working room.
void CompressEnd(uint64_t chaining[8], uint64_t key[8], uint64_t state[8]) {
    uint64_t constant[8] = {};
    for (uint32_t i = 0; i < 8; ++i) {
        key[i] = chaining[i];
        state[i] = chaining[i];
    }
    state[0] ^= END_MARK;
    state[7] ^= END_LENGTH;
    for (uint32_t r = 0; r < 10; ++r) {
        constant[0] = ROUND_CONSTANTS.Word[r];
        Round(key, key, constant);
        Round(state, state, key);
    }
    for (uint32_t i = 0; i < 8; ++i) {
        chaining[i] ^= state[i];
    }
    chaining[0] ^= END_MARK;
    chaining[7] ^= END_LENGTH;
}

using pelmar_keying_wipe::ClearVectorRegisters;

struct Working {
    KeySchedule Inner, Outer;
    uint64_t Digest[8];
    uint64_t Key[8];
    uint64_t State[8];
};

}  // namespace

void WhirlpoolPathIterations(const ulong64 inner[8], const ulong64 outer[8], uint64_t *u, uint64_t *t,
                             uint32_t lanes, uint32_t count) {
    FillTurnedTables();
    Working working;
    Schedule(inner, &working.Inner);
    Schedule(outer, &working.Outer);
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t lane = 0; lane < lanes; ++lane) {
            uint64_t *laneU = u + 8 * lane;
            uint64_t *laneT = t + 8 * lane;
            CompressKeyed(&working.Inner, laneU, working.Digest, working.State);
            CompressEnd(working.Digest, working.Key, working.State);
            CompressKeyed(&working.Outer, working.Digest, laneU, working.State);
            CompressEnd(laneU, working.Key, working.State);
            for (uint32_t w = 0; w < 8; ++w) {
                laneT[w] ^= laneU[w];
            }
        }
    }
    zeromem(&working, sizeof working);
    ClearVectorRegisters();
}
