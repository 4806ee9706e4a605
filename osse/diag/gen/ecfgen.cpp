// ecfgen: builds the return-code catalogue and the function-name tables of the services library
// from their source lists (osse/diag/data/ecfcodes.txt and ecffuncs.txt).
//
//   ecfgen <ecfcodes.txt> <ecffuncs.txt> <output directory>
//
// writes, into <output directory>:
//   ecfcodes.h     one constant per named code (ECF_INVALID_PARAMETER ...)
//   funcids.h      one constant per named function (ECF_FN_ossLog ...)
//   ecftables.cpp  the constant tables declared in osse/diag/ecftables.h
//
// The source lists say what their lines mean and how the generator fills what they leave open.
// Everything a lookup relies on is checked here, so that a wrong list fails the build instead of
// producing a table that a lookup would read out of bounds: counts, index ranges, repeated
// numbers and names, and the totals each product declares.
//
// A host program of the build; it uses only the standard library and exits non-zero with a
// message naming the file and line of the first problem.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kMaxFunctionNames = 4095;  // function numbers the trace mask can hold
constexpr int kProducts = 3;

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    std::fprintf(stderr, "ecfgen: %s: %s\n", where.c_str(), what.c_str());
    std::exit(1);
}

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

// Splits a line into words; a word in double quotes may hold spaces, \" and \\.
// A '#' outside quotes starts a comment.
std::vector<std::string> splitWords(const std::string& line, const std::string& where) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        char ch = line[i];
        if (ch == ' ' || ch == '\t' || ch == '\r') {
            ++i;
        } else if (ch == '#') {
            break;
        } else if (ch == '"') {
            std::string word;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char q = line[i++];
                if (q == '"') {
                    closed = true;
                    break;
                }
                if (q == '\\' && i < line.size()) q = line[i++];
                word += q;
            }
            if (!closed) fail(where, "missing closing quote");
            words.push_back("\"" + word);  // the leading quote marks a quoted word
        } else {
            std::string word;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') word += line[i++];
            words.push_back(word);
        }
    }
    return words;
}

bool isQuoted(const std::string& w) { return !w.empty() && w[0] == '"'; }
std::string unquote(const std::string& w) { return isQuoted(w) ? w.substr(1) : w; }

std::uint32_t parseNumber(const std::string& w, const std::string& where) {
    if (w.empty() || isQuoted(w)) fail(where, "number expected, found '" + w + "'");
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(w.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFull || w[0] == '-') fail(where, "bad number '" + w + "'");
    return static_cast<std::uint32_t>(v);
}

bool isIdentifierPart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

void checkPrintable(const std::string& text, const std::string& where) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) fail(where, "only printable ASCII is allowed in names and descriptions");
}

// --- codes -----------------------------------------------------------------------------------

struct CodeEntry {
    std::uint32_t code = 0;
    std::string name;
    std::string description;
    std::uint32_t product = 0;
    std::uint32_t component = 0;
    bool named = false;
};

struct Owner {
    std::string prefix;
    std::uint32_t product;
    std::uint32_t component;
    std::string where;
};

struct Catalogue {
    std::uint32_t set = 0;
    std::string setName;
    std::uint32_t count = 0;
    std::vector<Owner> owners;
    std::uint32_t reservedProduct = 0, reservedComponent = 0;
    std::vector<CodeEntry> entries;  // index 0..count
};

std::string describeByName(const std::string& name) {
    std::string text = name.substr(4);  // without "ECF_"
    for (std::size_t i = 0; i < text.size(); ++i) {
        char& c = text[i];
        if (c == '_') c = ' ';
        else if (i > 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

Catalogue readCodes(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail(path, "cannot open");
    Catalogue cat;
    std::set<std::string> names;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string where = path + ":" + std::to_string(lineNo);
        auto w = splitWords(line, where);
        if (w.empty()) continue;
        if (w[0] == "set") {
            if (w.size() != 4 || cat.set != 0) fail(where, "one line 'set <number> <name> <codes>' expected");
            cat.set = parseNumber(w[1], where);
            cat.setName = unquote(w[2]);
            checkPrintable(cat.setName, where);
            for (char c : cat.setName)
                if (c == '"' || c == '\\') fail(where, "a set name holds no quote or backslash");
            cat.count = parseNumber(w[3], where);
            if (cat.set != 1) fail(where, "only set 1 exists");
            if (cat.count == 0 || cat.count > 0x7FFFFF) fail(where, "the index field holds 1 to 0x7FFFFF");
            cat.entries.resize(cat.count + 1);
        } else if (w[0] == "owner") {
            if (w.size() != 4) fail(where, "'owner <prefix> <product> <component>' expected");
            cat.owners.push_back({w[1], parseNumber(w[2], where), parseNumber(w[3], where), where});
        } else if (w[0] == "reserved") {
            if (w.size() != 3) fail(where, "'reserved <product> <component>' expected");
            cat.reservedProduct = parseNumber(w[1], where);
            cat.reservedComponent = parseNumber(w[2], where);
        } else {
            if (cat.set == 0) fail(where, "the 'set' line must come first");
            if (w.size() < 2 || w.size() > 3 || isQuoted(w[1]) || (w.size() == 3 && !isQuoted(w[2])))
                fail(where, "'<code> <name> [\"<description>\"]' expected");
            std::uint32_t code = parseNumber(w[0], where);
            std::uint32_t index = code & 0x7FFFFF;
            if (((code >> 28) & 7) != cat.set || (code & 0x0F800000) != 0 || index == 0 || index > cat.count)
                fail(where, "code " + w[0] + " is not a code of set 1 with an index in range");
            const std::string& name = w[1];
            if (name.rfind("ECF_", 0) != 0 || name.size() == 4) fail(where, "names start with ECF_");
            for (char c : name)
                if (!isIdentifierPart(c)) fail(where, "a name must be an identifier");
            if (name.rfind("ECF_RESERVED_", 0) == 0) fail(where, "ECF_RESERVED_ names the indices nobody names");
            if (!names.insert(name).second) fail(where, "name " + name + " used twice");
            CodeEntry& e = cat.entries[index];
            if (e.named) fail(where, "index of " + w[0] + " used twice");
            e.code = code;
            e.name = name;
            e.named = true;
            e.description = w.size() == 3 ? unquote(w[2]) : describeByName(name);
            checkPrintable(e.description, where);
            bool owned = false;
            for (const Owner& o : cat.owners) {
                if (name.rfind(o.prefix, 0) == 0) {
                    e.product = o.product;
                    e.component = o.component;
                    owned = true;
                    break;
                }
            }
            if (!owned) fail(where, "no owner line matches " + name);
        }
    }
    if (cat.set == 0) fail(path, "no 'set' line");
    if (cat.reservedProduct == 0) fail(path, "no 'reserved' line");
    for (std::uint32_t i = 1; i <= cat.count; ++i) {
        CodeEntry& e = cat.entries[i];
        if (e.named) continue;
        e.code = 0x80000000u | (cat.set << 28) | i;
        e.name = "ECF_RESERVED_" + hex8(e.code);
        e.description = "Reserved code 0x" + hex8(e.code);
        e.product = cat.reservedProduct;
        e.component = cat.reservedComponent;
    }
    return cat;
}

// --- name tables -----------------------------------------------------------------------------

struct ComponentEntry {
    bool declared = false;
    std::string shortName;
    std::string longName;
    std::uint32_t names = 0;                            // function numbers 1..names
    std::map<std::uint32_t, std::string> functions;     // number -> name
    std::map<std::uint32_t, std::uint32_t> ids;         // number -> full id
    std::string where;
};

struct ProductEntry {
    bool declared = false;
    std::string name;
    std::uint32_t componentCount = 0;
    std::uint32_t totalNames = 0;
    std::vector<ComponentEntry> components;  // index 0..componentCount-1
};

struct NameTables {
    ProductEntry products[kProducts + 1];
};

NameTables readFunctions(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail(path, "cannot open");
    NameTables t;
    ComponentEntry* current = nullptr;
    std::uint32_t currentProduct = 0, currentComponent = 0;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string where = path + ":" + std::to_string(lineNo);
        auto w = splitWords(line, where);
        if (w.empty()) continue;
        if (w[0] == "product") {
            if (w.size() != 5) fail(where, "'product <index> <name> <components> <function names>' expected");
            std::uint32_t p = parseNumber(w[1], where);
            if (p < 1 || p > kProducts) fail(where, "products are numbered 1 to 3");
            ProductEntry& pe = t.products[p];
            if (pe.declared) fail(where, "product declared twice");
            pe.declared = true;
            pe.name = unquote(w[2]);
            checkPrintable(pe.name, where);
            pe.componentCount = parseNumber(w[3], where);
            pe.totalNames = parseNumber(w[4], where);
            if (pe.componentCount < 1 || pe.componentCount > 256)
                fail(where, "a product has 1 to 256 components (index 0 included)");
            pe.components.resize(pe.componentCount);
        } else if (w[0] == "component") {
            if (w.size() != 6 || !isQuoted(w[5]))
                fail(where, "'component <product> <index> <short name> <function names> \"<long name>\"' expected");
            std::uint32_t p = parseNumber(w[1], where);
            if (p < 1 || p > kProducts || !t.products[p].declared) fail(where, "declare the product first");
            std::uint32_t c = parseNumber(w[2], where);
            if (c == 0 || c >= t.products[p].componentCount) fail(where, "component index out of range");
            ComponentEntry& ce = t.products[p].components[c];
            if (ce.declared) fail(where, "component declared twice");
            ce.declared = true;
            ce.shortName = unquote(w[3]);
            ce.names = parseNumber(w[4], where);
            ce.longName = unquote(w[5]);
            ce.where = where;
            checkPrintable(ce.shortName, where);
            checkPrintable(ce.longName, where);
            if (ce.names > kMaxFunctionNames) fail(where, "at most 4095 function names per component");
            current = &ce;
            currentProduct = p;
            currentComponent = c;
        } else {
            if (w.size() != 2 || isQuoted(w[1])) fail(where, "'<id> <name>' expected");
            if (current == nullptr) fail(where, "a function line needs a component line above it");
            std::uint32_t id = parseNumber(w[0], where);
            std::uint32_t p = id >> 27, c = (id >> 19) & 0xFF, f = id & 0xFFFF;
            if (p != currentProduct || c != currentComponent)
                fail(where, "id " + w[0] + " is not in the component above it");
            if (f == 0 || f > current->names)
                fail(where, "function number of " + w[0] + " is outside 1.." + std::to_string(current->names));
            const std::string& name = w[1];
            checkPrintable(name, where);
            if (current->functions.count(f)) fail(where, "function number of " + w[0] + " used twice");
            for (const auto& [n, other] : current->functions)
                if (other == name) fail(where, "name " + name + " used twice in one component");
            current->functions[f] = name;
            current->ids[f] = id;
        }
    }
    for (int p = 1; p <= kProducts; ++p) {
        ProductEntry& pe = t.products[p];
        if (!pe.declared) fail(path, "product " + std::to_string(p) + " is not declared");
        std::uint64_t declaredNames = 0;
        std::uint32_t undeclared = 0;
        for (std::uint32_t c = 1; c < pe.componentCount; ++c) {
            if (pe.components[c].declared) declaredNames += pe.components[c].names;
            else ++undeclared;
        }
        if (declaredNames > pe.totalNames) fail(path, "product " + std::to_string(p) + ": components hold more names than its total");
        std::uint64_t rest = pe.totalNames - declaredNames;
        if (undeclared == 0 && rest != 0)
            fail(path, "product " + std::to_string(p) + ": its components do not add up to its total");
        std::uint64_t share = undeclared ? rest / undeclared : 0;
        std::uint64_t extra = undeclared ? rest % undeclared : 0;
        if (share + (extra ? 1 : 0) > kMaxFunctionNames)
            fail(path, "product " + std::to_string(p) + ": too many names for its components");
        for (std::uint32_t c = 1; c < pe.componentCount; ++c) {
            ComponentEntry& ce = pe.components[c];
            if (ce.declared) continue;
            char shortName[16];
            std::snprintf(shortName, sizeof shortName, "COMP%03u", c);
            ce.shortName = shortName;
            ce.longName = "Reserved component " + std::to_string(c);
            ce.names = static_cast<std::uint32_t>(share + (extra ? 1 : 0));
            if (extra) --extra;
        }
        // Short names are what ecfFindComponentIndex searches for: keep them unique.
        std::set<std::string> seen;
        for (std::uint32_t c = 1; c < pe.componentCount; ++c)
            if (!seen.insert(pe.components[c].shortName).second)
                fail(path, "product " + std::to_string(p) + ": short name " + pe.components[c].shortName + " used twice");
    }
    std::set<std::string> productNames;
    for (int p = 1; p <= kProducts; ++p)
        if (!productNames.insert(t.products[p].name).second) fail(path, "product name used twice");
    return t;
}

// --- output ----------------------------------------------------------------------------------

// One character pool; offset 0 is the empty string.
class Pool {
public:
    Pool() { text_.push_back('\0'); }
    std::uint32_t add(const std::string& s) {
        if (s.empty()) return 0;
        std::uint32_t off = static_cast<std::uint32_t>(text_.size());
        text_.insert(text_.end(), s.begin(), s.end());
        text_.push_back('\0');
        return off;
    }
    // Emits the pool as a string literal, one piece per text. Each piece ends with its own "\0"
    // and the next text starts a new literal, so a digit after a NUL can never be read as part of
    // an octal escape.
    void write(std::ostream& out) const {
        out << '\n';
        std::string piece;
        std::size_t col = 0;
        for (char c : text_) {
            if (c == '\0') {
                piece += "\\0";
                if (col == 0) out << "   ";
                out << " \"" << piece << '"';
                col += piece.size() + 3;
                piece.clear();
                if (col > 90) {
                    out << '\n';
                    col = 0;
                }
            } else {
                if (c == '"' || c == '\\') piece += '\\';
                piece += c;
            }
        }
        out << '\n';
    }
    std::size_t size() const { return text_.size(); }

private:
    std::vector<char> text_;
};

std::string constantName(const std::string& function) {
    // "Class::member" -> "Class_member", "Class::~Class" -> "Class_dtor"; anything else that is
    // not an identifier character is refused, so every constant stays a readable identifier.
    std::string out;
    for (std::size_t i = 0; i < function.size(); ++i) {
        char c = function[i];
        if (c == ':' && i + 1 < function.size() && function[i + 1] == ':') {
            out += '_';
            ++i;
            if (i + 1 < function.size() && function[i + 1] == '~') {
                out += "dtor";
                return out;
            }
        } else if (isIdentifierPart(c)) {
            out += c;
        } else {
            return std::string();
        }
    }
    return out;
}

void writeFile(const std::string& path, const std::string& content) {
    // Keep an unchanged file untouched, so that its users are not rebuilt for nothing.
    {
        std::ifstream old(path, std::ios::binary);
        if (old) {
            std::stringstream ss;
            ss << old.rdbuf();
            if (ss.str() == content) return;
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) fail(path, "cannot write");
    out << content;
    if (!out.flush()) fail(path, "write failed");
}

std::string codesHeader(const Catalogue& cat) {
    std::ostringstream o;
    o << "// Generated by osse/diag/gen/ecfgen from osse/diag/data/ecfcodes.txt; do not edit.\n"
         "// Return codes of the ECF catalogue, set 1 (include osse/diag/ecf.h rather than this file).\n"
         "#pragma once\n\n#include <cstdint>\n\n";
    for (std::uint32_t i = 1; i <= cat.count; ++i) {
        const CodeEntry& e = cat.entries[i];
        if (!e.named) continue;
        o << "inline constexpr std::uint32_t " << e.name << " = 0x" << hex8(e.code) << "u;\n";
    }
    return o.str();
}

std::string functionsHeader(const NameTables& t) {
    std::ostringstream o;
    o << "// Generated by osse/diag/gen/ecfgen from osse/diag/data/ecffuncs.txt; do not edit.\n"
         "// Function ids of the functions this system names (include osse/diag/ecf.h rather than\n"
         "// this file). Each constant is ECF_FN_ followed by the function's name, with \"::\" written\n"
         "// as \"_\" and a destructor as \"dtor\": ossLog -> ECF_FN_ossLog, GenRegBin::GetNext ->\n"
         "// ECF_FN_GenRegBin_GetNext, GenRegFile::~GenRegFile -> ECF_FN_GenRegFile_dtor.\n"
         "#pragma once\n\n#include <cstdint>\n";
    std::set<std::string> constants;
    for (int p = 1; p <= kProducts; ++p) {
        const ProductEntry& pe = t.products[p];
        for (std::uint32_t c = 1; c < pe.componentCount; ++c) {
            const ComponentEntry& ce = pe.components[c];
            if (ce.functions.empty()) continue;
            o << "\n// " << pe.name << " (" << p << "), " << ce.shortName << " (" << c << "): " << ce.longName << "\n";
            for (const auto& [f, name] : ce.functions) {
                std::string id = constantName(name);
                if (id.empty()) fail(ce.where, "function name " + name + " cannot form a constant");
                id = "ECF_FN_" + id;
                if (!constants.insert(id).second) fail(ce.where, "constant " + id + " would be defined twice");
                o << "inline constexpr std::uint32_t " << id << " = 0x" << hex8(ce.ids.at(f)) << "u;\n";
            }
        }
    }
    return o.str();
}

std::string tablesSource(const Catalogue& cat, const NameTables& t) {
    Pool pool;
    std::ostringstream products, components, functions, codes;
    std::uint32_t componentIndex = 0, functionIndex = 0;
    std::uint32_t fnColumn = 0;

    products << "    {0, 0, 0},\n";
    for (int p = 1; p <= kProducts; ++p) {
        const ProductEntry& pe = t.products[p];
        products << "    {" << pool.add(pe.name) << ", " << pe.componentCount << ", " << componentIndex << "},  // "
                 << pe.name << "\n";
        for (std::uint32_t c = 0; c < pe.componentCount; ++c) {
            const ComponentEntry& ce = pe.components[c];
            if (c == 0) {
                components << "    {0, 0, 0, 0},\n";
                ++componentIndex;
                continue;
            }
            std::uint32_t shortOff = pool.add(ce.shortName);
            std::uint32_t longOff = pool.add(ce.longName);
            std::uint32_t count = ce.names + 1;
            components << "    {" << shortOff << ", " << longOff << ", " << count << ", " << functionIndex << "},\n";
            ++componentIndex;
            for (std::uint32_t f = 0; f < count; ++f) {
                std::uint32_t off = 0;
                if (f != 0) {
                    auto it = ce.functions.find(f);
                    if (it != ce.functions.end()) {
                        off = pool.add(it->second);
                    } else {
                        std::uint32_t id = (static_cast<std::uint32_t>(p) << 27) | (c << 19) | f;
                        off = pool.add("func_" + hex8(id));
                    }
                }
                functions << off << ',';
                if (++fnColumn == 12) {
                    functions << '\n';
                    fnColumn = 0;
                }
                ++functionIndex;
            }
        }
    }

    std::uint32_t ok = pool.add("OK");
    codes << "    {0, " << ok << ", " << ok << ", 0, 0},\n";
    for (std::uint32_t i = 1; i <= cat.count; ++i) {
        const CodeEntry& e = cat.entries[i];
        std::uint32_t nameOff = pool.add(e.name);
        std::uint32_t descOff = pool.add(e.description);
        codes << "    {0x" << hex8(e.code) << "u, " << nameOff << ", " << descOff << ", " << e.product << ", "
              << e.component << "},\n";
    }

    std::ostringstream o;
    o << "// Generated by osse/diag/gen/ecfgen from osse/diag/data/; do not edit.\n"
         "// Constant tables behind the ecf lookups; the layout is described in osse/diag/ecftables.h.\n"
         "#include \"osse/diag/ecftables.h\"\n\n"
         "#define TARN_ECF_SECTION __attribute__((section(\".ecftables\")))\n\n"
         "namespace tarn::ecftables {\n\n"
         "static_assert(kCodeCount == "
      << cat.count
      << ", \"the catalogue's size is fixed by osse/diag/data/ecfcodes.txt\");\n\n"
         "TARN_ECF_SECTION const char pool[] = ";
    pool.write(o);
    o << ";\n\nTARN_ECF_SECTION const Product products[kProductCount + 1] = {\n" << products.str() << "};\n\n";
    o << "TARN_ECF_SECTION const Component components[" << componentIndex << "] = {\n" << components.str()
      << "};\n\n";
    o << "TARN_ECF_SECTION const std::uint32_t functionNames[" << functionIndex << "] = {\n"
      << functions.str() << "\n};\n\n";
    o << "TARN_ECF_SECTION const Code codes[kCodeCount + 1] = {\n" << codes.str() << "};\n\n";
    o << "TARN_ECF_SECTION const char setName[] = \"" << cat.setName << "\";\n\n";
    o << "}  // namespace tarn::ecftables\n";
    return o.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: ecfgen <ecfcodes.txt> <ecffuncs.txt> <output directory>\n");
        return 2;
    }
    Catalogue cat = readCodes(argv[1]);
    NameTables tables = readFunctions(argv[2]);
    for (std::uint32_t i = 1; i <= cat.count; ++i) {
        const CodeEntry& e = cat.entries[i];
        if (e.product < 1 || e.product > kProducts || e.component == 0 ||
            e.component >= tables.products[e.product].componentCount)
            fail(argv[1], "owner of " + e.name + " is not a component of the name tables");
    }
    std::string dir = argv[3];
    writeFile(dir + "/ecfcodes.h", codesHeader(cat));
    writeFile(dir + "/funcids.h", functionsHeader(tables));
    writeFile(dir + "/ecftables.cpp", tablesSource(cat, tables));
    return 0;
}
