// The table generator refuses source lists that would give wrong or out-of-bounds tables, and
// fills what a list leaves open by its documented pattern.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// A small, valid pair of lists; each bad case changes one thing in it.
const char* const kCodes =
    "set 1 setecf 4\n"
    "owner ECF_GENREG_ 1 2\n"
    "owner ECF_ 1 1\n"
    "reserved 1 1\n"
    "0x90000001 ECF_ONE \"One\"\n"
    "0x10000002 ECF_WARN\n"
    "0x90000004 ECF_GENREG_LAST\n";

const char* const kFuncs =
    "product 1 P 3 10\n"
    "product 2 Q 2 1\n"
    "product 3 R 4 7\n"
    "component 1 1 FIRST 3 \"First\"\n"
    "0x08080001 alpha\n"
    "0x08090003 Cls::~Cls\n"
    "component 3 2 SECOND 2 \"Second\"\n"
    "0x18120002 gamma\n";

class EcfGen : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("ecfgen_test_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "out");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the generator on the given lists; returns its exit status and keeps its messages.
    int run(const std::string& codes, const std::string& funcs) {
        write(dir_ / "codes.txt", codes);
        write(dir_ / "funcs.txt", funcs);
        std::string cmd = std::string(ECFGEN_PATH) + " " + (dir_ / "codes.txt").string() + " " +
                          (dir_ / "funcs.txt").string() + " " + (dir_ / "out").string() + " 2>" +
                          (dir_ / "err.txt").string();
        int status = std::system(cmd.c_str());
        messages_ = read(dir_ / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output(const char* name) { return read(dir_ / "out" / name); }

    static void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
    static std::string read(const fs::path& p) {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static std::string replace(std::string text, const std::string& from, const std::string& to) {
        auto pos = text.find(from);
        EXPECT_NE(pos, std::string::npos) << from;
        if (pos != std::string::npos) text.replace(pos, from.size(), to);
        return text;
    }

    fs::path dir_;
    std::string messages_;
};

TEST_F(EcfGen, ValidListsGiveConstantsAndFilledTables) {
    ASSERT_EQ(run(kCodes, kFuncs), 0) << messages_;
    const std::string codes = output("ecfcodes.h");
    EXPECT_NE(codes.find("ECF_ONE = 0x90000001u;"), std::string::npos);
    EXPECT_NE(codes.find("ECF_WARN = 0x10000002u;"), std::string::npos);
    EXPECT_EQ(codes.find("ECF_RESERVED_"), std::string::npos) << "reserved codes get no constant";
    const std::string ids = output("funcids.h");
    EXPECT_NE(ids.find("ECF_FN_alpha = 0x08080001u;"), std::string::npos);
    EXPECT_NE(ids.find("ECF_FN_Cls_dtor = 0x08090003u;"), std::string::npos);
    EXPECT_NE(ids.find("ECF_FN_gamma = 0x18120002u;"), std::string::npos);
    const std::string tables = output("ecftables.cpp");
    for (const char* text : {"\"ECF_RESERVED_90000003\\0\"", "\"Reserved code 0x90000003\\0\"", "\"Warn\\0\"",
                             "\"Genreg last\\0\"", "\"func_08080002\\0\"", "\"COMP002\\0\"",
                             "\"Reserved component 2\\0\"", "\"func_18100001\\0\""}) {
        EXPECT_NE(tables.find(text), std::string::npos) << text;
    }
    // Product 1: FIRST holds 3 names, the one undeclared component the other 7. Product 3:
    // SECOND holds 2, the two undeclared components share 5, the first taking the extra one.
    EXPECT_NE(tables.find("\"func_08100007\\0\""), std::string::npos);
    EXPECT_EQ(tables.find("\"func_08100008\\0\""), std::string::npos);
    EXPECT_NE(tables.find("\"func_18080003\\0\""), std::string::npos);
    EXPECT_NE(tables.find("\"func_18180002\\0\""), std::string::npos);
    EXPECT_EQ(tables.find("\"func_18180003\\0\""), std::string::npos);
}

struct BadCase {
    const char* label;
    bool inCodes;  // which list the change applies to
    const char* from;
    const char* to;
};

const BadCase kBadCases[] = {
    {"index used twice", true, "0x90000004 ECF_GENREG_LAST", "0x90000001 ECF_GENREG_LAST"},
    {"name used twice", true, "ECF_GENREG_LAST", "ECF_ONE"},
    {"index beyond the set", true, "0x90000004", "0x90000005"},
    {"index 0", true, "0x90000004", "0x90000000"},
    {"set 2", true, "0x90000004", "0xA0000004"},
    {"bits 23-27 set", true, "0x90000004", "0x90800004"},
    {"name without ECF_", true, "ECF_GENREG_LAST", "GENREG_LAST"},
    {"no owner", true, "owner ECF_ 1 1\n", ""},
    {"owner outside the tables", true, "owner ECF_GENREG_ 1 2", "owner ECF_GENREG_ 1 3"},
    {"unterminated quote", true, "\"One\"", "\"One"},
    {"function number 0", false, "0x08080001", "0x08080000"},
    {"function beyond the count", false, "0x08090003", "0x08090004"},
    {"function number used twice", false, "0x08090003", "0x08090001"},
    {"function in another component", false, "0x18120002", "0x18180002"},
    {"name used twice in a component", false, "Cls::~Cls", "alpha"},
    {"constant not an identifier", false, "Cls::~Cls", "operator+"},
    {"totals do not add up", false, "product 2 Q 2 1", "product 2 Q 1 1"},
    {"declared names beyond the total", false, "component 1 1 FIRST 3", "component 1 1 FIRST 11"},
    {"component index = count", false, "component 3 2 SECOND", "component 3 4 SECOND"},
    {"missing product", false, "product 2 Q 2 1\n", ""},
    {"too many names for the trace mask", false, "component 3 2 SECOND 2", "component 3 2 SECOND 4096"},
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.label; }

class EcfGenRefuses : public EcfGen, public ::testing::WithParamInterface<BadCase> {};

TEST_P(EcfGenRefuses, BadList) {
    const BadCase& c = GetParam();
    std::string codes = kCodes, funcs = kFuncs;
    if (c.inCodes) codes = replace(codes, c.from, c.to);
    else funcs = replace(funcs, c.from, c.to);
    EXPECT_EQ(run(codes, funcs), 1) << c.label;
    EXPECT_NE(messages_.find("ecfgen: "), std::string::npos) << c.label << ": " << messages_;
}

INSTANTIATE_TEST_SUITE_P(Ecf, EcfGenRefuses, ::testing::ValuesIn(kBadCases),
                         [](const ::testing::TestParamInfo<BadCase>& info) { return "Case" + std::to_string(info.index); });

}  // namespace
