// Layout of the constant name tables behind the ecf lookups (osse/diag/ecf.cpp).
//
// The build generates the contents (ecftables.cpp in the build tree) from osse/diag/data/ by
// osse/diag/gen/ecfgen.cpp; nothing writes them at run time. Every text lives in one character
// pool and the tables hold 32-bit offsets into it, so the tables carry no pointers: the shared
// library needs no relocations for them and maps them straight from its own read-only section
// (".ecftables").
//
// Lookups index these arrays directly:
//   products[p]                                   p = 1..kProductCount (entry 0 unused)
//   components[products[p].firstComponent + c]   c = 0..componentCount - 1
//   functionNames[component.firstFunction + f]   f = 0..functionCount - 1
//   codes[i]                                      i = 0..kCodeCount (entry 0 is code 0, "OK")
// Entry 0 of every component's function-name range is the empty string (offset 0 of the pool);
// entry functionCount (the null that ends a name array) is not stored, the count bounds it.
#pragma once

#include <cstdint>

// Hidden: the tables are the library's own; other modules use the ecf functions.
#pragma GCC visibility push(hidden)

namespace tarn::ecftables {

struct Product {
    std::uint32_t name;            // pool offset
    std::uint32_t componentCount;  // index 0 included
    std::uint32_t firstComponent;  // index of this product's component 0 in components[]
};

struct Component {
    std::uint32_t shortName;      // pool offsets
    std::uint32_t longName;
    std::uint32_t functionCount;  // entry 0 included; 0 for component 0, which names nothing
    std::uint32_t firstFunction;  // index of this component's function 0 in functionNames[]
};

struct Code {
    std::uint32_t code;
    std::uint32_t name;         // pool offsets
    std::uint32_t description;
    std::uint16_t product;      // product and component of the name tables owning the code
    std::uint16_t component;
};

inline constexpr std::uint32_t kProductCount = 3;
inline constexpr std::uint32_t kCodeCount = 1486;  // indices 1..kCodeCount of set 1

extern const char pool[];
extern const Product products[kProductCount + 1];
extern const Component components[];
extern const std::uint32_t functionNames[];
extern const Code codes[kCodeCount + 1];
extern const char setName[];  // name of set 1

}  // namespace tarn::ecftables

#pragma GCC visibility pop
