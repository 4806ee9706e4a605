// The Windows scalar types the product code is written against, given their fixed widths.
//
// The platform layer stands in for the Windows services the product calls. Its declarations keep
// the Windows names so that a reader can match each call to the facility it replaces, but they
// live in our own namespace and carry only what the product needs.
#pragma once

#include <cstdint>

namespace tarn::platform {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using QWORD = std::uint64_t;
using BOOL = int;
using HRESULT = std::int32_t;
using REGSAM = std::uint32_t;

}  // namespace tarn::platform
