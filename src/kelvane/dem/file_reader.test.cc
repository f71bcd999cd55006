#include "kelvane/dem/file_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace kelvane {
namespace {

std::string error_text(const Result<std::string>& r) {
  return r ? std::string("ok: ") + *r : io_source_text(r.error().as<errors::Io>());
}

class DemFileReader : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("dem_file_reader_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const char* name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::filesystem::path dir_;
};

TEST_F(DemFileReader, ReadsAndRefuses) {
  const std::string ok = write("ok.dem", "error(0.1) D0\n");
  EXPECT_EQ(error_text(read_dem_file(ok)), "ok: error(0.1) D0\n");
  EXPECT_EQ(error_text(read_dem_file(ok, 14)), "ok: error(0.1) D0\n");
  EXPECT_EQ(error_text(read_dem_file(ok, 13)), "DEM file is larger than the limit of 13 bytes");
  EXPECT_EQ(error_text(read_dem_file(dir_.string())), "Is a directory (os error 21)");
  EXPECT_EQ(error_text(read_dem_file((dir_ / "missing.dem").string())), "No such file or directory (os error 2)");
  EXPECT_EQ(error_text(read_dem_file(std::string("ok.dem\0x", 8))), "file name contained an unexpected NUL byte");
  for (const char* device : {"/dev/zero", "/dev/urandom", "/dev/null"}) {
    EXPECT_EQ(error_text(read_dem_file(device)),
              "refusing to read a DEM from a character device: it is not a regular file and may never end")
        << device;
  }
}

TEST_F(DemFileReader, PipeIsBoundedWhileReading) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The writer sends more than the limit and closes; the reader stops at the limit.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (std::FILE* f = std::fopen(fifo.c_str(), "wb")) {
      std::string chunk(1000, '#');
      for (int k = 0; k < 300; ++k) std::fwrite(chunk.data(), 1, chunk.size(), f);
      std::fclose(f);
    }
    ::_exit(0);
  }
  EXPECT_EQ(error_text(read_dem_file(fifo, 100000)), "DEM file is larger than the limit of 100000 bytes");
  int status = 0;
  ::waitpid(child, &status, 0);  // the writer ends with a broken pipe once the reader is gone
}

}  // namespace
}  // namespace kelvane
