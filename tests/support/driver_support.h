// Tests of the driver client and the driver model: a temporary machine with
// drive C: as a folder and the model installed, real containers sealed by
// the product's keying, and helpers to read the requests the model received.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/na_tc.h"
#include "support/io_support.h"
#include "keying/keymaterial.h"
#include "ntsim/driver_model.h"
#include "ntsim/tcformat/tcformat.h"

namespace pelmar_test {

using Bytes = std::vector<uint8_t>;

inline uint32_t U32At(const Bytes &bytes, size_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

inline Bytes RandomBytes(std::mt19937 &rng, size_t length) {
    Bytes out(length);
    for (auto &b : out) b = static_cast<uint8_t>(rng());
    return out;
}

inline std::string HexOf(const Bytes &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A container sealed by the product: header from CreateVolumeHeader over the
// container's old first 512 bytes, then `sectors` data sectors of old
// contents.
struct Container {
    Bytes password;  // the 64 bytes the header was sealed with
    Bytes bytes;     // the whole file
};

inline Container SealContainer(int32_t ea, int32_t prf, uint64_t sectors, uint32_t seed) {
    std::mt19937 rng(seed);
    Container container;
    container.bytes = RandomBytes(rng, 512 + sectors * 512);
    ENTROPY_POOL pool{};
    PoolInit(&pool, 0);
    const Bytes noise = RandomBytes(rng, 256);
    PoolAdd(&pool, noise.data(), static_cast<uint32_t>(noise.size()));
    VOLUME_HEADER header;
    std::memcpy(header.Bytes, container.bytes.data(), 512);
    VOLUME_PASSWORD password{};
    auto scratch = std::make_unique<KEY_SCRATCH>();
    // A small count for the key material keeps the test quick; the header
    // key always takes the hash's default count.
    EXPECT_EQ(CreateVolumeHeader(&header, &password, &pool, prf, ea, 5, scratch.get()), 1);
    EXPECT_EQ(password.Length, 64u);
    container.password.assign(password.Text, password.Text + password.Length);
    std::memcpy(container.bytes.data(), header.Bytes, 512);
    return container;
}

class DriverTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        ntsim::InstallTrueCryptDriver();
        client_ = std::make_unique<DRIVER_CLIENT>();
        std::memset(client_.get(), 0, sizeof(DRIVER_CLIENT));
    }
    DRIVER_CLIENT *Client() { return client_.get(); }
    Bytes LastRequest(uint32_t code) { return ntsim::LastTrueCryptRequest(code); }
    // The input buffer of the Nth traced request to the driver, in hex.
    // The traced input of the last device control request with `code`.
    std::string TracedInput(ULONG code) {
        auto lines = TraceOf("NtDeviceIoControlFile");
        const std::string tag = "code=" + ntsim::Hex32(code);
        auto it = std::find_if(lines.rbegin(), lines.rend(),
                               [&](const std::string &line) { return line.find(tag) != std::string::npos; });
        if (it == lines.rend()) return {};
        const std::string &line = *it;
        size_t at = line.find("input=");
        if (at == std::string::npos) return {};
        at += 6;
        return line.substr(at, line.find_first_of(",)", at) - at);
    }
    void Place(const std::string &name, const Bytes &bytes) {
        WriteHostFile(Host(name), std::string(bytes.begin(), bytes.end()));
    }
    Bytes HostBytes(const std::string &name) {
        std::string text = ReadHostFile(Host(name));
        return Bytes(text.begin(), text.end());
    }
    std::unique_ptr<DRIVER_CLIENT> client_;
};

}  // namespace pelmar_test
