// Status values of the install-support code.
//
// Every operation of the install support returns an unsigned 32-bit status, 0 on success. Where
// an operation hands on what the platform said, the status is a Windows error number (2 not
// found, 5 access denied, 1010 bad key...); the values below are the install support's own and
// never collide with those, since they all carry the high bit.
#pragma once

#include <cstdint>

namespace tarn::isupport {

using TarniStatus = std::uint32_t;

inline constexpr TarniStatus RC_SUCCESS = 0;
inline constexpr TarniStatus RC_REGISTRY_FAILURE = 0x90000002u;  // a registry call failed
inline constexpr TarniStatus RC_BUFFER_TOO_SMALL = 0x90000008u;  // the caller's buffer is short
inline constexpr TarniStatus RC_NULL_ARGUMENT = 0x9000000Cu;     // a required argument is null
inline constexpr TarniStatus RC_NO_MEMORY = 0x9000000Du;         // an object could not be made
inline constexpr TarniStatus RC_NOT_FOUND = 0x9000006Du;         // no list element matched

}  // namespace tarn::isupport
