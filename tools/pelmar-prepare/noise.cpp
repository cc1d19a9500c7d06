// Noise at the disk's speed: the kernel's random source gives the 32-byte
// key only; libgcrypt's ChaCha20 (its vector code on this processor)
// stretches it, far faster than the disk takes it, and two blocks alternate
// so that the next is generated while the last is written.
#include "tools/pelmar-prepare/noise.h"

#include <gcrypt.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace pelmar_tools {
namespace {

bool SystemRandom(uint8_t *bytes, size_t length, std::string &error) {
    for (size_t got = 0; got < length;) {
        ssize_t r = getrandom(bytes + got, length - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            error = std::string("cannot read the kernel's random source: ") + std::strerror(errno);
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

// A ChaCha20 keystream (64-bit nonce and counter: no length limit) under a
// fresh key; libgcrypt wipes its context when the handle is closed.
class Keystream {
  public:
    ~Keystream() {
        if (handle_) gcry_cipher_close(handle_);
    }
    bool Start(std::string &error) {
        uint8_t key[32], nonce[8] = {};
        bool ok = SystemRandom(key, sizeof key, error);
        if (ok && !gcry_check_version(GCRYPT_VERSION)) {
            error = "libgcrypt is older than the one pelmar-prepare was built with";
            ok = false;
        }
        // No secure memory: the key lives in libgcrypt's context for the
        // run only and is wiped when the context is closed.
        if (ok && !gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
            gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
            gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        }
        gcry_error_t e = 0;
        if (ok) e = gcry_cipher_open(&handle_, GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_STREAM, 0);
        if (ok && !e) e = gcry_cipher_setkey(handle_, key, sizeof key);
        if (ok && !e) e = gcry_cipher_setiv(handle_, nonce, sizeof nonce);
        explicit_bzero(key, sizeof key);
        if (ok && e) {
            error = std::string("libgcrypt cannot start ChaCha20: ") + gcry_strerror(e);
            ok = false;
        }
        return ok;
    }
    // The next `length` bytes of the keystream: ChaCha20 over zeros.
    bool Next(uint8_t *out, const uint8_t *zeros, size_t length) {
        return gcry_cipher_encrypt(handle_, out, length, zeros, length) == 0;
    }

  private:
    gcry_cipher_hd_t handle_ = nullptr;
};

}  // namespace

bool StreamNoise(uint64_t bytes, size_t block, const NoiseSink &sink, std::string &error) {
    Keystream stream;
    if (!stream.Start(error)) return false;
    const std::vector<uint8_t> zeros(block);
    std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(block), std::vector<uint8_t>(block)};
    std::mutex mutex;
    std::condition_variable changed;
    bool full[2] = {false, false}, stop = false, failed = false;

    // The stopping signals go to the writing thread, which owns the clean-up.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::thread producer([&] {
        for (uint64_t at = 0, i = 0; at < bytes; at += block, ++i) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return stop || !full[i % 2]; });
            if (stop) return;
            lock.unlock();
            const size_t n = static_cast<size_t>(std::min<uint64_t>(block, bytes - at));
            const bool ok = stream.Next(buffers[i % 2].data(), zeros.data(), n);
            lock.lock();
            if (!ok) failed = stop = true;
            full[i % 2] = ok;
            changed.notify_all();
            if (!ok) return;
        }
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    bool ok = true;
    for (uint64_t at = 0, i = 0; ok && at < bytes; at += block, ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return failed || full[i % 2]; });
        if (failed) {
            error = "libgcrypt failed while generating the noise";
            ok = false;
            break;
        }
        lock.unlock();
        const size_t n = static_cast<size_t>(std::min<uint64_t>(block, bytes - at));
        ok = sink(at, buffers[i % 2].data(), n, error);
        lock.lock();
        full[i % 2] = false;
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        changed.notify_all();
    }
    producer.join();
    return ok;
}

}  // namespace pelmar_tools
