// FindByPath between copies whose install paths differ only in letter case: Linux keeps such
// directories apart, so the copy named exactly wins; ignoring case still finds a copy otherwise.
#include <gtest/gtest.h>

#include <filesystem>

#include "install/copies.h"
#include "install_fixture.h"

namespace {

using tarn::isupport::InstallCopy;
using tarn::isupport::InstallCopyList;

class FindByPathCase : public tarn::test::InstallRegistryTest {};

TEST_F(FindByPathCase, ExactPathWinsOverAnEarlierCopyEqualIgnoringCase) {
  Import("case-copies.reg");
  std::filesystem::create_directories(Root() + "/opt/other");
  InstallCopyList list(false, false);
  const struct {
    const char* path;
    const char* copy;
  } cases[] = {
      {"/opt/TARN", "ALPHA"},
      {"/opt/Tarn", "BETA"},  // ALPHA comes first and equals it ignoring case
      {"/opt/Tarn/", "BETA"},
      {"/opt/other", "GAMMA"},  // no exact match: the copy equal ignoring case
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    InstallCopy* copy = nullptr;
    ASSERT_EQ(0u, list.FindByPath((Root() + c.path).c_str(), &copy));
    EXPECT_STREQ(c.copy, copy->Name());
  }
}

}  // namespace
