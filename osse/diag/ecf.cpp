// Lookups over the generated return-code catalogue and name tables (see osse/diag/ecf.h for the
// rules and osse/diag/ecftables.h for the layout).
//
// Every lookup by id or code is a few compares and two array reads: the trace and log writers
// call them on hot paths, so nothing here may search, allocate or take a lock.
#include "osse/diag/ecf.h"

#include <cstring>

#include "osse/diag/ecftables.h"

namespace ecft = tarn::ecftables;

namespace {

constexpr std::uint32_t kFirstId = 0x08000000u;
constexpr std::uint32_t kLastId = 0x1FFFFFFFu;

constexpr std::uint32_t productOf(std::uint32_t id) { return id >> 27; }
constexpr std::uint32_t componentOf(std::uint32_t id) { return (id >> 19) & 0xFFu; }
constexpr std::uint32_t functionOf(std::uint32_t id) { return id & 0xFFFFu; }

const char* text(std::uint32_t offset) { return ecft::pool + offset; }

// The product entry of a valid product index, else null.
const ecft::Product* product(std::uint32_t p) {
    return p >= 1 && p <= ecft::kProductCount ? &ecft::products[p] : nullptr;
}

// The component entry for product p and component c, or null unless 1 <= c < count. The count
// includes index 0, so c == count is already past the product's last component.
const ecft::Component* component(std::uint32_t p, std::uint32_t c) {
    const ecft::Product* prod = product(p);
    if (prod == nullptr || c == 0 || c >= prod->componentCount) return nullptr;
    return &ecft::components[prod->firstComponent + c];
}

const ecft::Component* componentOfId(std::uint32_t id) {
    if (id < kFirstId || id > kLastId) return nullptr;
    return component(productOf(id), componentOf(id));
}

// The catalogue entry of a code of the catalogue, matched exactly, or null. Code 0 is entry 0.
const ecft::Code* codeEntry(std::uint32_t code) {
    std::uint32_t index = code & 0x7FFFFFu;
    if (index > ecft::kCodeCount) return nullptr;
    const ecft::Code* entry = &ecft::codes[index];
    return entry->code == code ? entry : nullptr;
}

}  // namespace

std::uint32_t ecfGetNumProducts() { return ecft::kProductCount; }

const char* ecfGetProductName(std::uint32_t id) {
    if (id < kFirstId || id > kLastId) return nullptr;
    return text(ecft::products[productOf(id)].name);
}

std::uint32_t ecfFindProductIndex(const char* name) {
    if (name == nullptr) return 0;
    for (std::uint32_t p = 1; p <= ecft::kProductCount; ++p)
        if (std::strcmp(text(ecft::products[p].name), name) == 0) return p;
    return 0;
}

std::uint32_t ecfGetNumComponents(std::uint32_t p) {
    const ecft::Product* prod = product(p);
    return prod ? prod->componentCount : 0;
}

const char* ecfGetComponentShortName(std::uint32_t id) {
    const ecft::Component* comp = componentOfId(id);
    return comp ? text(comp->shortName) : nullptr;
}

const char* ecfGetComponentName(std::uint32_t id) {
    const ecft::Component* comp = componentOfId(id);
    return comp ? text(comp->longName) : nullptr;
}

std::uint32_t ecfFindComponentIndex(std::uint32_t p, const char* shortName) {
    const ecft::Product* prod = product(p);
    if (prod == nullptr || shortName == nullptr) return 0;
    for (std::uint32_t c = 1; c < prod->componentCount; ++c)
        if (std::strcmp(text(ecft::components[prod->firstComponent + c].shortName), shortName) == 0) return c;
    return 0;
}

std::uint32_t ecfGetNumFunctions(std::uint32_t p, std::uint32_t c) {
    const ecft::Component* comp = component(p, c);
    return comp ? comp->functionCount : 0;
}

const char* ecfGetFunctionName(std::uint32_t id) {
    const ecft::Component* comp = componentOfId(id);
    if (comp == nullptr) return nullptr;
    std::uint32_t f = functionOf(id);
    if (f == 0 || f >= comp->functionCount) return nullptr;
    return text(ecft::functionNames[comp->firstFunction + f]);
}

std::uint32_t ecfFindFunctionIndex(std::uint32_t p, std::uint32_t c, const char* name) {
    const ecft::Component* comp = component(p, c);
    if (comp == nullptr || name == nullptr) return 0;
    const std::uint32_t* names = &ecft::functionNames[comp->firstFunction];
    for (std::uint32_t f = 1; f < comp->functionCount; ++f)
        if (std::strcmp(text(names[f]), name) == 0) return f;
    return 0;
}

std::uint32_t ecfErrorGetNumCodes(std::uint32_t set) { return set == 1 ? ecft::kCodeCount : 0; }

const char* ecfErrorGetCodeName(std::uint32_t code) {
    const ecft::Code* entry = codeEntry(code);
    return entry ? text(entry->name) : nullptr;
}

const char* ecfErrorGetDescription(std::uint32_t code) {
    const ecft::Code* entry = codeEntry(code);
    return entry ? text(entry->description) : nullptr;
}

const char* ecfErrorGetComponentName(std::uint32_t code) {
    const ecft::Code* entry = codeEntry(code);
    if (entry == nullptr) return nullptr;
    const ecft::Component* comp = component(entry->product, entry->component);
    return comp ? text(comp->longName) : nullptr;  // code 0 belongs to no component
}

const char* ecfErrorGetProductName(std::uint32_t code) {
    const ecft::Code* entry = codeEntry(code);
    if (entry == nullptr) return nullptr;
    const ecft::Product* prod = product(entry->product);
    return prod ? text(prod->name) : nullptr;  // code 0 belongs to no product
}

const char* ecfErrorGetSetName(std::uint32_t code) {
    // The set's name follows from the set bits alone, whether or not the index is in use.
    return ((code >> 28) & 7u) == 1 ? ecft::setName : nullptr;
}
