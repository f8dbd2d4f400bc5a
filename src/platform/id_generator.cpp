// Drawing a new id from the system's cryptographic generator, without bias between characters.
#include "platform/id_generator.h"

#include <windows.h>

#include <bcrypt.h>

namespace mirto {
namespace {

constexpr wchar_t kAlphabet[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
constexpr unsigned kAlphabetSize = 36;
// Bytes at or above 252 (the largest multiple of 36 below 256) are drawn again, so every
// character is equally likely.
constexpr unsigned kAcceptedBelow = 256 - 256 % kAlphabetSize;

}  // namespace

std::wstring GenerateId() {
    std::wstring id;
    id.reserve(kGeneratedIdLength);
    unsigned char random[64];
    while (id.size() < kGeneratedIdLength) {
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random, sizeof(random),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            return {};
        }
        for (unsigned char byte : random) {
            if (byte >= kAcceptedBelow) continue;
            id.push_back(kAlphabet[byte % kAlphabetSize]);
            if (id.size() == kGeneratedIdLength) break;
        }
    }
    return id;
}

}  // namespace mirto
