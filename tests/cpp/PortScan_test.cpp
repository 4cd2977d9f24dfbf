#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "TavixHardwareAPI/Discovery.h"

using namespace Tavix::HardwareAPI;
namespace fs = std::filesystem;

namespace {

struct ScratchDev : ::testing::Test {
    fs::path root;
    void SetUp() override {
        char pattern[] = "/tmp/tavix-dev-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }
    void Touch(const std::string& name) { std::ofstream(root / name).put('x'); }
};

TEST_F(ScratchDev, MarkersClassifyNamesAnywhereAndInOrder) {
    for (auto name : {"ttyS0", "tty1", "null", "ttyACM0", "ttyUSB3", "rfcomm0", "my-ttyUSB-ttyACM", "xrfcommy"})
        Touch(name);
    fs::create_directory(root / "serial");
    Touch("serial/ttyACM7");  // subdirectories are never scanned
    fs::create_directory(root / "ttyACM-dir");  // the entry's type is not examined

    std::map<std::string, int32_t> found;
    for (const auto& c : ScanSerialPorts(root)) found[fs::path(c.path).filename()] = c.kind;
    const std::map<std::string, int32_t> expected{{"ttyACM0", 1},  {"ttyUSB3", 2},    {"rfcomm0", 3},
                                                  {"my-ttyUSB-ttyACM", 1}, {"xrfcommy", 3}, {"ttyACM-dir", 1}};
    EXPECT_EQ(found, expected);
}

TEST_F(ScratchDev, LinksAreReportedUnderTheirTargetAndDanglingLinksThrow) {
    Touch("ttyS4");
    fs::create_symlink(root / "ttyS4", root / "ttyUSB-link-a");
    fs::create_symlink("ttyS4", root / "ttyUSB-link-b");
    const auto candidates = ScanSerialPorts(root);
    ASSERT_EQ(candidates.size(), 2u);
    for (const auto& c : candidates) {
        EXPECT_EQ(c.path, fs::canonical(root / "ttyS4").string());
        EXPECT_EQ(c.kind, kPortTtyUSB);
    }

    fs::create_symlink(root / "gone", root / "rfcomm9");
    EXPECT_THROW(ScanSerialPorts(root), fs::filesystem_error);
}

TEST_F(ScratchDev, MissingDirectoryIsEmptyAndAnEmptyOneToo) {
    EXPECT_TRUE(ScanSerialPorts(root).empty());
    EXPECT_TRUE(ScanSerialPorts(root / "absent").empty());
}

TEST(PortScan, RealDevGivesCanonicalAbsolutePaths) {
    for (const auto& c : ScanSerialPorts()) {
        EXPECT_TRUE(fs::path(c.path).is_absolute());
        EXPECT_EQ(c.path, fs::canonical(c.path).string());
    }
}

}  // namespace
