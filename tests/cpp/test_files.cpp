#include "test_files.hpp"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace mave::test {

TempFile::TempFile(std::string_view contents) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "mave-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  path_ = dir_ + "/file";
  write(contents);
}

TempFile::~TempFile() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void TempFile::write(std::string_view contents) const {
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::string TempFile::read() const { return read_file(path_); }

BufferedReader TempFile::reader() const {
  auto file = File::open_read(path_);
  if (!file.ok()) throw std::runtime_error("cannot open " + path_);
  return BufferedReader(std::move(file).value());
}

Result<Embeddings> read_mapped(const std::string& bytes) {
  TempFile file(bytes);
  BufferedReader r = file.reader();
  return read_embeddings_mapped(r);
}

Embeddings load(const std::string& bytes) {
  auto e = read_mapped(bytes);
  if (!e.ok()) ADD_FAILURE() << debug(e.error());
  return std::move(e).value();
}

std::string written_file(const Embeddings& e) {
  TempFile out;
  BufferedWriter w(File::create(out.path()).value());
  Status st = e.write_embeddings_to(w);
  EXPECT_TRUE(st.ok()) << debug(st.error());
  EXPECT_TRUE(w.close().ok());
  return out.read();
}

std::string rewrite(const std::string& bytes) { return written_file(load(bytes)); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Eight partial sums of squares, then the tail in order: the reference the
// tests hold the library's summation order to, written out independently.
float partial_sums_of_squares(const std::vector<float>& v) {
  float p[8] = {};
  std::size_t blocks = v.size() / 8;
  for (std::size_t b = 0; b < blocks; ++b) {
    for (std::size_t k = 0; k < 8; ++k) {
      float sq = v[8 * b + k] * v[8 * b + k];
      p[k] = p[k] + sq;
    }
  }
  float s = (((p[0] + p[4]) + (p[1] + p[5])) + (p[2] + p[6])) + (p[3] + p[7]);
  for (std::size_t i = blocks * 8; i < v.size(); ++i) {
    float sq = v[i] * v[i];
    s = s + sq;
  }
  return s;
}

std::string data_path(std::string_view name) {
  return std::string(MAVE_TEST_DATA_DIR) + "/" + std::string(name);
}

}  // namespace mave::test
