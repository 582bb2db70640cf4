// The emulated kernel stands below the I/O manager, as on Windows: nothing
// in platform/kernel may include a header of platform/io, or the two could
// no longer be built, reasoned about and changed apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace zt {
namespace {

TEST(Layering, NoFileOfTheKernelIncludesTheIoManager) {
  const auto kernel = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "platform" / "kernel";
  ASSERT_TRUE(std::filesystem::is_directory(kernel)) << kernel;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kernel)) {
    std::ifstream in(entry.path());
    ++files;
    std::string line;
    while (std::getline(in, line)) {
      EXPECT_EQ(line.rfind("#include \"io/", 0), std::string::npos) << entry.path().filename() << ": " << line;
    }
  }
  EXPECT_GT(files, 5);
}

}  // namespace
}  // namespace zt
