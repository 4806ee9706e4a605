// The catalogue codes returned by the latch, tick and string utilities. Taken from the error
// catalogue of the diagnostics once that header is in the tree.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t ECF_FAILED = 0x90000002u;
inline constexpr std::uint32_t ECF_INVALID_VERSION = 0x90000004u;
inline constexpr std::uint32_t ECF_INVALID_PARAMETER = 0x9000000Cu;
inline constexpr std::uint32_t ECF_NO_MEMORY = 0x9000000Du;
inline constexpr std::uint32_t ECF_OSSLOCK_CORRUPT = 0x900003EFu;
inline constexpr std::uint32_t ECF_OSS_NOT_BOOLEAN_STRING = 0x900003F1u;
inline constexpr std::uint32_t ECF_OSSTICK_TIME_VALUE_TOO_BIG = 0x900004E6u;
inline constexpr std::uint32_t ECF_OSSTICK_TIME_VALUE_TOO_SMALL = 0x900004E7u;
