#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/rxflash-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> image(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& byte : image) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x);
  }
  return image;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

CapturedMessages::CapturedMessages()
    : previous_(SetMessageSink([this](const std::string& text) { texts.push_back(text); })) {}

CapturedMessages::~CapturedMessages() { SetMessageSink(previous_); }

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  const char* old = std::getenv(name);
  hadOld_ = old != nullptr;
  if (hadOld_) old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

bool IsOpenInThisProcess(const std::string& path) {
  std::error_code error;
  const auto wanted = std::filesystem::canonical(path, error);
  if (error) return false;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path(), ignored) == wanted) return true;
  }
  return false;
}

std::vector<std::string> Blocks(int last) {
  std::vector<std::string> lines;
  for (int block = 1; block <= last; ++block) lines.push_back("Block " + std::to_string(block));
  return lines;
}

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
