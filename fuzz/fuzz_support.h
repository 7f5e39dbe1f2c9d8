// What the fuzz targets share: the input as text, cutting it in two, a
// property check that fails the run, and a scratch working directory for the
// targets that go through the group files of ./vydata.
//
// The scratch directory is made once per process (under /dev/shm when there
// is one, so that the group files' fsync costs nothing) and removed at exit;
// a call runs in it and returns to the fuzzer's own working directory, so the
// fuzzer's relative corpus and artifact paths keep their meaning.
#ifndef VANTRY_FUZZ_FUZZ_SUPPORT_H_
#define VANTRY_FUZZ_FUZZ_SUPPORT_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace vy::fuzz {

inline std::string_view asText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input before its first `separator` and after it (empty when none).
inline std::pair<std::string_view, std::string_view> cutAt(std::string_view input, char separator) {
  const size_t at = input.find(separator);
  if (at == std::string_view::npos) return {input, {}};
  return {input.substr(0, at), input.substr(at + 1)};
}

// A broken property is a crash, so that the fuzzer keeps the input.
inline void expect(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/vy-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
    std::filesystem::create_directories(path_ / "vydata" / "vydb");
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Runs work with the directory as the working directory.
  template <typename Work>
  void run(Work&& work) {
    const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0 || ::chdir(path_.c_str()) != 0) std::abort();
    work();
    if (::fchdir(home) != 0) std::abort();
    ::close(home);
  }

 private:
  std::filesystem::path path_;
};

inline ScratchDir& scratchDir() {
  static ScratchDir dir;
  return dir;
}

}  // namespace vy::fuzz

#endif  // VANTRY_FUZZ_FUZZ_SUPPORT_H_
