// New installation ids: 32 characters from 0-9 and a-z, drawn from the system's cryptographic
// generator so that machines first started in the same second still get distinct ids.
#ifndef MIRTO_PLATFORM_ID_GENERATOR_H
#define MIRTO_PLATFORM_ID_GENERATOR_H

#include <string>

namespace mirto {

constexpr std::size_t kGeneratedIdLength = 32;

// A new id, or empty if the system's generator fails.
std::wstring GenerateId();

}  // namespace mirto

#endif  // MIRTO_PLATFORM_ID_GENERATOR_H
