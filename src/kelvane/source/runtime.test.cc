#include "kelvane/source/runtime.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "kelvane/kvlx/encoder.h"
#include "kelvane/source/file_source.h"

namespace kelvane {
namespace {

TEST(Runtime, OneSharedRuntimeWhileAnySourceHoldsIt) {
  auto a = Runtime::shared();
  auto b = Runtime::shared();
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(a->get(), b->get());
  EXPECT_EQ((*a)->run_blocking([] { return 7; }), 7);
  EXPECT_NE((*a)->run_on_io([] { return std::this_thread::get_id(); }), std::this_thread::get_id());
  std::weak_ptr<Runtime> gone = *a;
  a->reset();
  b->reset();
  EXPECT_TRUE(gone.expired());  // the last holder stopped and joined its threads
}

// A child forked while the parent's runtime runs refuses the inherited source, drops it without
// joining anything, and opens and reads its own.
TEST(Runtime, ForkedChildRefusesInheritedSourcesAndOpensItsOwn) {
  const std::string path = std::filesystem::temp_directory_path() / ("kelvane_fork_" + std::to_string(::getpid()));
  {
    std::ofstream out(path, std::ios::binary);
    auto bytes = encode_file_header(FileHeader{});
    FrameSpec s;
    s.header.frame_id = 1;
    s.header.ancilla_count = 1;
    s.detector_events = {1};
    s.meas_results = {1};
    ASSERT_TRUE(append_frame(bytes, s).has_value());
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  auto rt = Runtime::shared();
  ASSERT_TRUE(rt.has_value());
  auto inherited = FileSource::open(*rt, path);
  ASSERT_TRUE(inherited.has_value());
  rt->reset();
  const pid_t child = ::fork();
  if (child == 0) {
    auto refused = (*inherited)->next_owned();
    bool ok = !refused.has_value() && refused.error().to_string().find("not usable after fork()") != std::string::npos;
    inherited->reset();
    auto own = Runtime::shared();
    ok = ok && own.has_value();
    if (ok) {
      auto src = FileSource::open(*own, path);
      auto f = src ? (*src)->next_owned() : Result<std::optional<OwnedFrame>>(std::nullopt);
      ok = f.has_value() && f->has_value() && (*f)->frame_id == 1;
    }
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto f = (*inherited)->next_owned();  // the parent's source is untouched
  ASSERT_TRUE(f.has_value() && f->has_value());
  ::unlink(path.c_str());
}

}  // namespace
}  // namespace kelvane
