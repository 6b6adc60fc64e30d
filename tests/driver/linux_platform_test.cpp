// The Linux seam for real: a sparse regular file stands in for /dev/mem, mapped at
// the instrument's physical offsets, and Axi runs on top of it. Every case is also
// a descriptor leak check.
#include "driver/core/linux_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "base/error.h"
#include "base/format.h"
#include "driver/core/axi.h"
#include "driver/core/gpio.h"
#include "support/loopback.h"

namespace {

using driver::core::Axi;
using driver::core::Gpio;
using driver::core::LinuxPlatform;

constexpr std::uint64_t MEM_FILE_SIZE = 0x44000000;  // covers every block of the logic
constexpr std::uint32_t HW_BASE = 0x43C10000;
constexpr std::uint32_t OSC_BASE = 0x43C20000;

class LinuxPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_before_ = support::count_open_fds();
    char path[] = "/tmp/valdrix-mem-XXXXXX";
    fd_ = ::mkstemp(path);
    ASSERT_GE(fd_, 0);
    path_ = path;
    ASSERT_EQ(::ftruncate(fd_, MEM_FILE_SIZE), 0);
    driver::core::install_platform(std::make_shared<LinuxPlatform>(path_, path_));
  }
  void TearDown() override {
    driver::core::install_platform(nullptr);
    ::close(fd_);
    ::unlink(path_.c_str());
    EXPECT_EQ(support::count_open_fds(), fds_before_) << "descriptor leaked";
  }

  std::vector<std::uint8_t> file_bytes(std::uint64_t at, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    EXPECT_EQ(::pread(fd_, out.data(), n, static_cast<off_t>(at)), static_cast<ssize_t>(n));
    return out;
  }
  void put_file_bytes(std::uint64_t at, const std::vector<std::uint8_t>& bytes) const {
    ASSERT_EQ(::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(at)),
              static_cast<ssize_t>(bytes.size()));
  }
  bool file_mapped() const {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
      if (line.find(path_) != std::string::npos) return true;
    return false;
  }

  int fds_before_ = 0;
  int fd_ = -1;
  std::string path_;
};

TEST_F(LinuxPlatformTest, RegisterAccessesLandAtThePhysicalOffsetLittleEndian) {
  auto axi = Axi::create(HW_BASE, 0x10000);
  ASSERT_TRUE(axi) << axi.error().describe();
  EXPECT_EQ(support::count_open_fds(), fds_before_ + 1) << "the device descriptor outlived mmap";

  ASSERT_TRUE(axi->write_register(0, 0x11223344));
  ASSERT_TRUE(axi->write_register(0xFFFC, 0xAABBCCDD));
  EXPECT_EQ(file_bytes(HW_BASE, 4), (std::vector<std::uint8_t>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(file_bytes(HW_BASE + 0xFFFC, 4), (std::vector<std::uint8_t>{0xDD, 0xCC, 0xBB, 0xAA}));

  // What the other side of the mapping changes, the next read sees.
  put_file_bytes(HW_BASE + 8, {0x78, 0x56, 0x34, 0x12});
  EXPECT_EQ(axi->read_register(8).value(), 0x12345678u);
  EXPECT_EQ(axi->read_register(0).value(), 0x11223344u);
}

TEST_F(LinuxPlatformTest, DestructionUnmapsAndMovesKeepOneMapping) {
  {
    auto axi = Axi::create(OSC_BASE, 0x1000);
    ASSERT_TRUE(axi);
    EXPECT_TRUE(file_mapped());
    Axi moved = std::move(*axi);
    auto other = Axi::create(HW_BASE, 0x1000);
    ASSERT_TRUE(other);
    moved = std::move(*other);  // the OSC mapping goes here, the HW one moves over
    EXPECT_TRUE(moved.write_register(0, 7));
    EXPECT_EQ(file_bytes(HW_BASE, 1)[0], 7);
  }
  EXPECT_FALSE(file_mapped());
}

TEST_F(LinuxPlatformTest, BulkReadCopiesUnalignedRangesExactly) {
  std::vector<std::uint8_t> pattern(0x1000);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);
  put_file_bytes(OSC_BASE, pattern);
  auto axi = Axi::create(OSC_BASE, 0x1000);
  ASSERT_TRUE(axi);

  auto slice = [&](std::size_t off, std::size_t len) {
    return std::vector<std::uint8_t>(pattern.begin() + off, pattern.begin() + off + len);
  };
  auto read = [&](std::size_t off, std::size_t len) {
    auto r = axi->read_u8_buffer(off, len);
    EXPECT_TRUE(r) << r.error().describe();
    return std::vector<std::uint8_t>(r->begin(), r->end());
  };
  EXPECT_EQ(read(0, 0x1000), pattern);
  EXPECT_EQ(read(1, 10), slice(1, 10));    // unaligned start and end
  EXPECT_EQ(read(3, 1), slice(3, 1));      // one byte from the end of a word
  EXPECT_EQ(read(5, 2), slice(5, 2));      // inside one word
  EXPECT_EQ(read(4, 8), slice(4, 8));      // whole words
  EXPECT_EQ(read(0xFFD, 3), slice(0xFFD, 3));
  EXPECT_TRUE(read(5, 0).empty());
}

TEST_F(LinuxPlatformTest, OutOfWindowAccessesFailWithExactTextsAndTouchNothing) {
  constexpr std::size_t size = 0x1000;
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  auto axi = Axi::create(OSC_BASE, size);
  ASSERT_TRUE(axi);
  auto reg_error = [](std::size_t off) { return base::format("AXI invalid offset {} , total size: 4096", off); };

  EXPECT_TRUE(axi->read_register(size - 4));
  for (std::size_t off : {size - 3, size, std::size_t{2}, max - 1, max - 3}) {
    SCOPED_TRACE(off);
    auto r = axi->read_register(off);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), reg_error(off));
    auto w = axi->write_register(off, 0xFFFFFFFF);
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().message(), reg_error(off));
  }
  EXPECT_EQ(file_bytes(OSC_BASE + size - 4, 8), std::vector<std::uint8_t>(8, 0)) << "a refused write landed";

  auto bulk_error = [&](std::size_t off, std::size_t len) {
    auto r = axi->read_u8_buffer(off, len);
    EXPECT_FALSE(r);
    return r ? std::string() : r.error().message();
  };
  EXPECT_EQ(axi->read_u8_buffer(0, size)->size(), size);
  EXPECT_EQ(bulk_error(size, 0), "AXI invalid offset 4096 and size 0 , total size: 4096");
  EXPECT_EQ(bulk_error(1, size), "AXI invalid offset 1 and size 4096 , total size: 4096");
  EXPECT_EQ(bulk_error(8, max - 3), base::format("AXI invalid offset 8 and size {} , total size: 4096", max - 3));
  EXPECT_TRUE(axi->read_register(0)) << "the window stays usable after failures";
}

TEST_F(LinuxPlatformTest, MisalignedBaseFailsInMmapWithoutLeakingTheDescriptor) {
  auto axi = Axi::create(HW_BASE + 4, 0x10000);
  ASSERT_FALSE(axi);
  EXPECT_EQ(axi.error().message(), "Failed to mmap AXI: EINVAL: Invalid argument");
  EXPECT_EQ(support::count_open_fds(), fds_before_ + 1);
}

TEST_F(LinuxPlatformTest, MissingDeviceFailsToOpen) {
  driver::core::install_platform(std::make_shared<LinuxPlatform>(path_ + ".missing"));
  auto axi = Axi::create(HW_BASE, 0x10000);
  ASSERT_FALSE(axi);
  EXPECT_EQ(axi.error().message(), "Failed to open AXI device: No such file or directory");
}

// What the kernel answers to a raw ioctl, as Gpio words it. Under qemu-user the
// GPIO ioctls are not translated and come back ENOSYS, so the test asks the kernel
// (or the emulator) itself rather than assuming ENOTTY and EBADF.
std::string ioctl_description(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg) == 0 ? "succeeded" : base::errno_description(errno);
}

// A regular file is no GPIO chip: it opens, and the kernel refuses the ioctls.
TEST_F(LinuxPlatformTest, GpioErrorsCarryTheSystemDescription) {
  gpiohandle_request request{};
  gpiohandle_data data{};
  const std::string refused = ioctl_description(fd_, GPIO_GET_LINEHANDLE_IOCTL, &request);
  const std::string bad_handle = ioctl_description(-1, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data);
  {
    auto gpio = Gpio::create();
    ASSERT_TRUE(gpio) << gpio.error().describe();
    EXPECT_EQ(support::count_open_fds(), fds_before_ + 2);
    auto line = gpio->set_output(12);
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error().message(), "Failed to set GPIO as output:" + refused);
    auto w = gpio->write(-1, 1);
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().message(), "Failed to write GPIO for pin_fd -1:" + bad_handle);
    EXPECT_EQ(gpio->close_handle(-1), EBADF);
  }
  EXPECT_EQ(support::count_open_fds(), fds_before_ + 1);

  driver::core::install_platform(std::make_shared<LinuxPlatform>(path_, path_ + ".missing"));
  auto gpio = Gpio::create();
  ASSERT_FALSE(gpio);
  EXPECT_EQ(gpio.error().message(), "Failed to open GPIO chip:No such file or directory");
}

}  // namespace
